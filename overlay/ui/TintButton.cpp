#include "ui/TintButton.h"

#include <QPainter>

namespace cw {

TintButton::TintButton(const QString& title, QWidget* parent) : QPushButton(title, parent) {
    setFlat(true);
    setFocusPolicy(Qt::NoFocus);
    setAutoDefault(false);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_TranslucentBackground);
}

void TintButton::setTint(const QColor& tint) {
    if (tint == m_tint)
        return;
    m_tint = tint;
    update();
}

void TintButton::paintEvent(QPaintEvent*) {
    // Only the title, centred, in the tint: the panel's buttons have no bezel at all.
    QPainter painter(this);
    QColor color = m_tint;
    if (isDown())
        color = color.lighter(140);
    painter.setPen(color);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

} // namespace cw
