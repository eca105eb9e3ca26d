#pragma once
// How the panel lays out one line of text, for its labels and its buttons alike: the paragraph's
// direction (the panel's language, or a feed field's own first strong character), the side it sits on,
// the ellipsis when it does not fit, and the colour emoji font for a symbol that asks for it. Main thread
// only (fonts need the application).

#include <QFont>
#include <QRect>
#include <QString>
#include <QTextLayout>

namespace cw {

struct LineStyle {
    QFont font;
    // As widgets take it: AlignLeft is the leading side of the panel's language unless AlignAbsolute.
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
    // Where text that does not fit loses characters; the ellipsis stands at the paragraph's end, which is
    // the left end of a right-to-left line. Qt::ElideNone clips.
    Qt::TextElideMode elide = Qt::ElideRight;
    // A feed field (a title, an artist): its direction follows its own first strong character, whatever
    // the panel's language. Otherwise the line runs in the panel's direction.
    bool ownDirection = false;
};

// Lays text out as one line inside rect, elided to fit, for a widget whose layout direction is `panel`.
// Only the part of a long text that can reach the screen is laid out, so a text of megabytes costs what
// one of a thousand characters does.
// Draw it with layout.draw(painter, QPointF()); layout.text() is what is drawn.
void layOutLine(QTextLayout& layout, const QString& text, const LineStyle& style, const QRect& rect,
                Qt::LayoutDirection panel);

} // namespace cw
