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

namespace {

// No label is wider than a few hundred points, yet laying text out costs time in proportion to its
// length: a feed with a title of megabytes must not freeze the panel. Only this much of each end of a
// text can ever be seen.
constexpr qsizetype kVisibleChars = 512;

// The first n characters, not splitting a surrogate pair.
QString head(const QString& text, qsizetype n) {
    if (n < text.size() && n > 0 && text.at(n - 1).isHighSurrogate())
        --n;
    return text.left(n);
}

// The last n characters, not splitting a surrogate pair.
QString tail(const QString& text, qsizetype n) {
    qsizetype from = text.size() - n;
    if (from > 0 && from < text.size() && text.at(from).isLowSurrogate())
        ++from;
    return text.mid(from);
}

// What of the text can reach the screen under the elide mode.
QString visiblePart(const QString& text, Qt::TextElideMode mode) {
    if (text.size() <= 2 * kVisibleChars)
        return text;
    switch (mode) {
    case Qt::ElideMiddle:
        // The joint is elided away: the whole text never fits a label's width.
        return head(text, kVisibleChars) + tail(text, kVisibleChars);
    case Qt::ElideLeft:
        return tail(text, 2 * kVisibleChars);
    default:
        return head(text, 2 * kVisibleChars);
    }
}

} // namespace

void TextLabel::layOut(QTextLayout& layout) const {
    LineStyle style = m_style;
    style.font = font();
    layOutLine(layout, visiblePart(m_text, m_style.elide), style, rect(), layoutDirection());
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
