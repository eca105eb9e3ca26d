#include "ui/Style.h"

#include <QApplication>

namespace cw {

QFont systemFont(qreal pointSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    // Layout sizes are device-independent pixels, and so are font sizes: a 14-point font must fit a
    // 20-point label whatever DPI the screen reports.
    font.setPixelSize(qMax(1, qRound(pointSize)));
    font.setWeight(weight);
    return font;
}

} // namespace cw
