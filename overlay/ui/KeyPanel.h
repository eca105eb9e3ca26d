#pragma once
// KeyPanel: the overlay's one window. Frameless, above ordinary windows, on every desktop, without a
// taskbar or pager entry, and never taking activation or keyboard focus from the DJ's application,
// not even when its buttons are clicked. Dragging its background moves it; children that accept their
// presses (buttons, rows) never do. Main thread only.

#include <QPoint>
#include <QRectF>
#include <QWidget>

namespace cw {

class KeyPanel : public QWidget {
    Q_OBJECT
public:
    explicit KeyPanel(const QRectF& contentRect);

signals:
    // Emitted after every change of the window's position, whatever moved it. The position a window
    // is given before it is first shown is not a move.
    void moved();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    enum class Drag { None, WindowManager, Manual };
    Drag m_drag = Drag::None;
    // While moving by hand: the pointer's offset from the window's position at the press.
    QPoint m_grabOffset;
};

} // namespace cw
