#include "ui/KeyPanel.h"

#include <QMouseEvent>
#include <QWindow>

namespace cw {

KeyPanel::KeyPanel(const QRectF& contentRect)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(int(contentRect.x()), int(contentRect.y()), int(contentRect.width()), int(contentRect.height()));
    setFixedSize(int(contentRect.width()), int(contentRect.height()));
}

void KeyPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    // Let the window manager move us; without one, follow the pointer by hand.
    m_manualMove = !(windowHandle() && windowHandle()->startSystemMove());
    m_grabOffset = event->globalPosition().toPoint() - pos();
    event->accept();
}

void KeyPanel::mouseMoveEvent(QMouseEvent* event) {
    if (m_manualMove && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - m_grabOffset);
    event->accept();
}

void KeyPanel::mouseReleaseEvent(QMouseEvent* event) {
    m_manualMove = false;
    event->accept();
}

void KeyPanel::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    emit moved();
}

void KeyPanel::showEvent(QShowEvent* event) { QWidget::showEvent(event); }

} // namespace cw
