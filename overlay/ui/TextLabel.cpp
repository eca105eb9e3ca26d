#include "ui/TextLabel.h"

#include <QFontMetrics>
#include <QPainter>

namespace cw {

TextLabel::TextLabel(const QString& text, QWidget* parent) : QWidget(parent), m_text(text) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
}

void TextLabel::setText(const QString& text) {
    if (text == m_text)
        return;
    m_text = text;
    update();
}

void TextLabel::setTextColor(const QColor& color) {
    if (color == m_color)
        return;
    m_color = color;
    update();
}

void TextLabel::setElideMode(Qt::TextElideMode mode) {
    m_elide = mode;
    update();
}

void TextLabel::setAlignment(Qt::Alignment alignment) {
    m_alignment = alignment;
    update();
}

QString TextLabel::displayedText() const {
    if (m_elide == Qt::ElideNone)
        return m_text;
    return QFontMetrics(font()).elidedText(m_text, m_elide, width());
}

void TextLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(m_color);
    painter.setFont(font());
    painter.drawText(rect(), int(m_alignment) | Qt::TextSingleLine, displayedText());
}

} // namespace cw
