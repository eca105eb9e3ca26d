#include "ui/Style.h"

#include "config/Settings.h"
#include "config/Texts.h"

#include <QApplication>
#include <QLocale>

namespace cw {

Qt::LayoutDirection panelDirection() {
    return QLocale(interfaceLanguage()).textDirection();
}

QFont systemFont(qreal pointSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    // Layout sizes are device-independent pixels, and so are font sizes: a 14-point font must fit a
    // 20-point label whatever DPI the screen reports.
    font.setPixelSize(qMax(1, qRound(pointSize)));
    font.setWeight(weight);
    return font;
}

QColor colorOf(Tone tone) {
    const Settings& s = settings();
    switch (tone) {
    case Tone::Green:
        return s.GREEN;
    case Tone::Dim:
        return s.DIM;
    case Tone::Gold:
        return s.GOLD;
    case Tone::Red:
        return s.RED;
    case Tone::Cyan:
        return s.CYAN;
    case Tone::RankGray:
        return s.RANKGRAY;
    case Tone::RutGrey:
        break;
    }
    return grey(0.66f);
}

} // namespace cw
