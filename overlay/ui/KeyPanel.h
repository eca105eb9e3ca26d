#pragma once
// KeyPanel: the overlay's one window. Frameless, above ordinary windows, on every desktop, without a
// taskbar or pager entry, and never taking activation or keyboard focus from the DJ's application.
// Dragging its background moves it. Main thread only.

#include <QPoint>
#include <QWidget>

namespace cw {

class KeyPanel : public QWidget {
    Q_OBJECT
public:
    explicit KeyPanel(const QRectF& contentRect);

signals:
    // Emitted after every change of the window's position, whatever moved it.
    void moved();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    bool m_manualMove = false;
    QPoint m_grabOffset;
};

} // namespace cw
