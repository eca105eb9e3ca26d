#include "ui/KeyPanel.h"

#include "ui/PlatformWindow.h"

#include <QMouseEvent>
#include <QWindow>

namespace cw {

KeyPanel::KeyPanel(const QRectF& contentRect)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus) {
    // Qt::Tool would be the natural choice, but openbox then reports the wrong position for it.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    const QRect rect(int(contentRect.x()), int(contentRect.y()), int(contentRect.width()), int(contentRect.height()));
    setGeometry(rect);
    setFixedSize(rect.size());
}

void KeyPanel::mousePressEvent(QMouseEvent* event) {
    // Only presses that no child accepted arrive here: those on the background and on plain labels.
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    // Let the window manager move us; without one, follow the pointer by hand.
    if (windowHandle() && windowHandle()->startSystemMove()) {
        m_drag = Drag::WindowManager;
        return;
    }
    m_drag = Drag::Manual;
    m_grabOffset = event->globalPosition().toPoint() - pos();
}

void KeyPanel::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (m_drag == Drag::Manual && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - m_grabOffset);
}

void KeyPanel::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    // Once the window manager has the move, the release goes to it. One that reaches us was quicker
    // than its grab, and it would go on moving the panel with the button up.
    if (m_drag == Drag::WindowManager)
        cancelSystemMove(this);
    m_drag = Drag::None;
}

void KeyPanel::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // Qt delivers the position set before the first show as a move event of its own at show time.
    if (event->pos() != event->oldPos())
        emit moved();
}

void KeyPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // On a show of our own the native window exists but is not mapped yet, the moment the window
    // manager reads the hints; on one it reports, the hints go to it as requests.
    applyFloatingPanelHints(this);
}

} // namespace cw
