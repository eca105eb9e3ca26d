#include "ui/Flipped.h"

#include <QPainter>
#include <QPainterPath>

namespace cw {

QRect frameRect(const QRectF& frame) {
    return QRect(int(frame.x()), int(frame.y()), int(frame.width()), int(frame.height()));
}

Flipped::Flipped(const QRectF& frame, QWidget* parent) : QWidget(parent) {
    setGeometry(frameRect(frame));
    setAttribute(Qt::WA_TranslucentBackground);
}

void Flipped::setBackground(const QColor& color) {
    m_background = color;
    update();
}

void Flipped::setCornerRadius(qreal radius) {
    m_radius = radius;
    update();
}

void Flipped::paintEvent(QPaintEvent*) {
    if (m_background.alpha() == 0)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_background);
    painter.drawRoundedRect(QRectF(rect()), m_radius, m_radius);
}

} // namespace cw
