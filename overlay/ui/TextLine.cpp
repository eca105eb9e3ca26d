#include "ui/TextLine.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QStyle>
#include <QTextCharFormat>

namespace cw {

namespace {

constexpr QChar kEmojiPresentation(0xFE0F);

// The installed colour emoji font, or none.
QString colourEmojiFamily() {
    static const QString family = [] {
        for (const char* name : {"Noto Color Emoji", "Apple Color Emoji", "Segoe UI Emoji", "Twemoji"})
            if (QFontDatabase::hasFamily(QLatin1String(name)))
                return QString::fromLatin1(name);
        return QString();
    }();
    return family;
}

// Every symbol followed by U+FE0F asks for its colour (emoji) presentation, but Qt takes the first font
// that has the symbol's glyph, which may be a monochrome one (❄ from DejaVu Sans): such symbols get the
// colour emoji font explicitly. A symbol followed by U+FE0E (⚙︎, ⬆︎) is left to the label's font.
QList<QTextLayout::FormatRange> colourSymbols(const QString& text) {
    QList<QTextLayout::FormatRange> ranges;
    const QString family = colourEmojiFamily();
    for (qsizetype i = text.indexOf(kEmojiPresentation, 1); i > 0 && !family.isEmpty();
         i = text.indexOf(kEmojiPresentation, i + 1)) {
        const qsizetype start = i >= 2 && text.at(i - 1).isLowSurrogate() ? i - 2 : i - 1;
        QTextCharFormat format;
        format.setFontFamilies({family});
        ranges.append({int(start), int(i + 1 - start), format});
    }
    return ranges;
}

void layOut(QTextLayout& layout, const QString& text, const QFont& font, const QTextOption& option, const QRect& rect) {
    layout.clearLayout();
    layout.setText(text);
    layout.setFont(font);
    layout.setTextOption(option);
    layout.setFormats(colourSymbols(text));
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (line.isValid()) {
        line.setLineWidth(rect.width());
        const qreal top = option.alignment() & Qt::AlignVCenter  ? (rect.height() - line.height()) / 2
                          : option.alignment() & Qt::AlignBottom ? rect.height() - line.height()
                                                                 : 0;
        line.setPosition(QPointF(rect.x(), rect.y() + top));
    }
    layout.endLayout();
}

qreal naturalWidth(const QString& text, const QFont& font, const QTextOption& option) {
    QTextLayout layout;
    layOut(layout, text, font, option, QRect(0, 0, 0, 0));
    return layout.lineCount() ? layout.lineAt(0).naturalTextWidth() : 0;
}

// The text as it fits `width`. The font's metrics choose the cut; a colour symbol may be wider than they
// say, so the width is measured as laid out and the cut moved until the line fits.
QString fitted(const QString& text, const QFont& font, const QTextOption& option, Qt::TextElideMode elide,
               qreal width) {
    if (elide == Qt::ElideNone || naturalWidth(text, font, option) <= width)
        return text;
    const QFontMetricsF metrics(font);
    qreal budget = width;
    for (int attempt = 0; attempt < 4 && budget > 0; ++attempt) {
        const QString elided = metrics.elidedText(text, elide, budget);
        const qreal over = naturalWidth(elided, font, option) - width;
        if (over <= 0)
            return elided;
        budget -= over;
    }
    return QString();
}

// No label or button is wider than a few hundred points, yet laying text out costs time in proportion
// to its length: a feed with a title or a moment of megabytes must not freeze the panel. Only this much of each end of
// a text can ever be seen.
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

void layOutLine(QTextLayout& layout, const QString& whole, const LineStyle& style, const QRect& rect,
                Qt::LayoutDirection panel) {
    const QString text = visiblePart(whole, style.elide);
    const Qt::LayoutDirection direction =
        style.ownDirection ? (text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight) : panel;
    // The side is resolved against the panel's direction, not the paragraph's: a Latin title on a Hebrew
    // panel runs left to right along the panel's right edge.
    QTextOption option(QStyle::visualAlignment(panel, style.alignment) | Qt::AlignAbsolute);
    option.setTextDirection(direction);
    option.setWrapMode(QTextOption::NoWrap);
    layOut(layout, fitted(text, style.font, option, style.elide, rect.width()), style.font, option, rect);
}

} // namespace cw
