#include "ui/PositionFile.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace cw {

std::optional<QPointF> parsePosition(const QString& text) {
    // Only ASCII digits: a line end, a tab or any other character inside a piece makes it no number.
    static const QRegularExpression number(
        QRegularExpression::anchoredPattern(QStringLiteral("[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?")));
    const QStringList pieces = text.split(u' ', Qt::SkipEmptyParts);
    if (pieces.size() != 2)
        return std::nullopt;
    double values[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        bool ok = false;
        if (number.match(pieces[i]).hasMatch())
            values[i] = pieces[i].toDouble(&ok);
        if (!ok || !std::isfinite(values[i]))
            return std::nullopt;
    }
    return QPointF(values[0], values[1]);
}

QString formatPosition(const QPointF& origin) {
    // Window origins are far inside the 64-bit range; clamp anyway so a wild value cannot overflow.
    const auto truncated = [](qreal v) {
        constexpr double kLimit = 9.0e18;
        return qint64(std::trunc(std::clamp(v, -kLimit, kLimit)));
    };
    return QString::number(truncated(origin.x())) + u' ' + QString::number(truncated(origin.y()));
}

QRectF toYUp(const QRectF& rect, const QRect& primary) {
    const qreal primaryBottom = qreal(primary.y()) + primary.height();
    return QRectF(rect.x() - primary.x(), primaryBottom - (rect.y() + rect.height()), rect.width(), rect.height());
}

QRectF fromYUp(const QRectF& rect, const QRect& primary) {
    const qreal primaryBottom = qreal(primary.y()) + primary.height();
    return QRectF(rect.x() + primary.x(), primaryBottom - (rect.y() + rect.height()), rect.width(), rect.height());
}

QPointF originOf(const QPoint& topLeft, const QSizeF& panelSize, const QRect& primary) {
    return toYUp(QRectF(QPointF(topLeft), panelSize), primary).topLeft();
}

bool isOnSomeScreen(const QPointF& origin, const QSizeF& panelSize, const ScreenLayout& screens) {
    const QRectF panel(origin, panelSize);
    for (const QRect& area : screens.available) {
        const QRectF common = panel.intersected(toYUp(QRectF(area), screens.primary));
        if (common.width() >= kMinOnScreenWidth && common.height() >= kMinOnScreenHeight)
            return true;
    }
    return false;
}

std::optional<QPoint> initialTopLeft(const std::optional<QString>& fileText, const QSizeF& panelSize,
                                     const ScreenLayout& screens) {
    if (fileText) {
        if (const std::optional<QPointF> origin = parsePosition(*fileText);
            origin && isOnSomeScreen(*origin, panelSize, screens)) {
            return fromYUp(QRectF(*origin, panelSize), screens.primary).topLeft().toPoint();
        }
    }
    if (!screens.hasPrimary)
        return std::nullopt;
    const QRectF visible = toYUp(QRectF(screens.homeAvailable), screens.primary);
    const QPointF origin(visible.right() - panelSize.width() - kDefaultInset,
                         visible.bottom() - panelSize.height() - kDefaultInset);
    return fromYUp(QRectF(origin, panelSize), screens.primary).topLeft().toPoint();
}

} // namespace cw
