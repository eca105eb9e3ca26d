#include "ui/Style.h"

#include <QApplication>

namespace cw {

QFont systemFont(qreal pointSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    return font;
}

} // namespace cw
