#include "ui/KeyPanel.h"

#include "ui/PlatformWindow.h"

#include <QMouseEvent>

namespace cw {

KeyPanel::KeyPanel(const QRectF& contentRect) : QWidget(nullptr, floatingPanelFlags()) {
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
    // The pointer's grab keeps the moves coming while it is outside the window.
    m_dragging = true;
    m_startPos = pos();
    m_grabOffset = event->globalPosition().toPoint() - pos();
}

void KeyPanel::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (m_dragging && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - m_grabOffset);
}

void KeyPanel::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (!m_dragging)
        return;
    m_dragging = false;
    // One save per drag, not one per step of it.
    if (pos() != m_startPos)
        emit moved();
}

void KeyPanel::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // Qt delivers the position set before the first show as a move event of its own at show time.
    if (!m_dragging && event->pos() != event->oldPos())
        emit moved();
}

void KeyPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    keepAboveOthers(this);
}

} // namespace cw
