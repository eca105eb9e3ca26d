#pragma once
// KeyPanel: the overlay's one window. Frameless, above other windows (full-screen ones included), on
// every desktop, without a taskbar or pager entry, and never taking activation or keyboard focus from
// the DJ's application, not even when its buttons are clicked (ui/PlatformWindow.h says how). Dragging
// its background moves it: the window moves itself, since no window manager does it for a window it
// does not manage. Children that accept their presses (buttons, rows) never move it. Main thread only.

#include <QPoint>
#include <QRectF>
#include <QWidget>

namespace cw {

class KeyPanel : public QWidget {
    Q_OBJECT
public:
    explicit KeyPanel(const QRectF& contentRect);

signals:
    // Emitted after every change of the window's position, once per drag, when the button is released.
    // The position a window is given before it is first shown is not a move.
    void moved();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    bool m_dragging = false;
    // While dragging: the pointer's offset from the window's position at the press, and that position.
    QPoint m_grabOffset;
    QPoint m_startPos;
};

} // namespace cw
