#include "ui/TextLabel.h"

#include <QAccessible>
#include <QPainter>
#include <QTextLayout>

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
    if (m_announced) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void TextLabel::setTextColor(const QColor& color) {
    if (color == m_color)
        return;
    m_color = color;
    update();
}

void TextLabel::setElideMode(Qt::TextElideMode mode) {
    m_style.elide = mode;
    update();
}

void TextLabel::setAlignment(Qt::Alignment alignment) {
    m_style.alignment = alignment;
    update();
}

void TextLabel::setOwnDirection(bool own) {
    m_style.ownDirection = own;
    update();
}

void TextLabel::layOut(QTextLayout& layout) const {
    LineStyle style = m_style;
    style.font = font();
    layOutLine(layout, m_text, style, rect(), layoutDirection());
}

QString TextLabel::displayedText() const {
    QTextLayout layout;
    layOut(layout);
    return layout.text();
}

void TextLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(m_color);
    QTextLayout layout;
    layOut(layout);
    layout.draw(&painter, QPointF());
}

} // namespace cw
