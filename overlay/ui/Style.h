#pragma once
// Fonts and colours shared by the panel's views, and the palette behind the feed's tone names. Main
// thread only (fonts need the application).

#include "feed/Tone.h"

#include <QColor>
#include <QFont>

namespace cw {

// The direction of the interface language: right to left for Hebrew.
Qt::LayoutDirection panelDirection();

// The application's default font at a point size and weight.
QFont systemFont(qreal pointSize, QFont::Weight weight = QFont::Normal);

// A grey level with alpha, 0 to 1.
inline QColor grey(float level, float alpha = 1.0f) {
    return QColor::fromRgbF(level, level, level, alpha);
}

// The colour a tone names, from the settings' palette.
QColor colorOf(Tone tone);

} // namespace cw
