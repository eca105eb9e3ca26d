#pragma once
// The panel's remembered position, as pure functions over plain values so every rule can be checked
// without a display. The position file holds the panel's bottom-left corner in global coordinates whose
// origin is the bottom-left corner of the primary screen, y growing upward: one line "x y" in decimal
// integers, no line end. Qt places windows by their top-left corner with y growing downward; the
// primary screen's geometry converts between the two. No state; any thread (the panel calls them on
// the main thread).

#include <QList>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <optional>

namespace cw {

// The screens as the placement sees them, all in Qt's global coordinates (top-left origin, y down).
struct ScreenLayout {
    // Geometry of the primary screen; defines the origin of the file's coordinates.
    QRect primary;
    // Area left free by panels and docks on the screen the user works on (that of the active window,
    // else the one under the pointer, else the primary one): the default placement's reference.
    QRect homeAvailable;
    // The available area of every screen, in the platform's order.
    QList<QRect> available;
    bool hasPrimary = false;
};

// How much of the panel must lie on one screen's available area for a saved origin to be used.
inline constexpr qreal kMinOnScreenWidth = 220;
inline constexpr qreal kMinOnScreenHeight = 120;
// Distance of the default placement from the top and right edges of homeAvailable.
inline constexpr qreal kDefaultInset = 16;

// The two numbers of a position file's text: pieces separated by spaces (U+0020 only, empty pieces
// dropped), exactly two, each a whole finite decimal number with an optional sign. Nothing otherwise.
std::optional<QPointF> parsePosition(const QString& text);

// "x y" with each coordinate truncated toward zero.
QString formatPosition(const QPointF& origin);

// A rectangle from Qt's coordinates to the file's, and back.
QRectF toYUp(const QRectF& rect, const QRect& primary);
QRectF fromYUp(const QRectF& rect, const QRect& primary);

// The panel's bottom-left origin in the file's coordinates, from its top-left position in Qt's.
QPointF originOf(const QPoint& topLeft, const QSizeF& panelSize, const QRect& primary);

// Whether a panel with the given origin (file coordinates) lies at least 220 × 120 on some screen.
bool isOnSomeScreen(const QPointF& origin, const QSizeF& panelSize, const ScreenLayout& screens);

// Where the panel's top-left corner goes in Qt's coordinates, given the position file's text (none when
// it could not be read): the saved origin when it is still on a screen, else 16 points in from the
// top-right corner of homeAvailable; none when there is no primary screen.
// Qt places windows on whole points, so a fractional saved origin lands on the nearest one.
std::optional<QPoint> initialTopLeft(const std::optional<QString>& fileText, const QSizeF& panelSize,
                                     const ScreenLayout& screens);

} // namespace cw
