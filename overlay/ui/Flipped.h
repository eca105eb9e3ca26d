#pragma once
// The plain container view with a top-left origin (Qt's own) that holds the panel's content and the
// now-playing card. It paints an optional rounded background, standing in for a layer colour.
// Main thread only.

#include <QColor>
#include <QWidget>

namespace cw {

class Flipped : public QWidget {
    Q_OBJECT
public:
    explicit Flipped(const QRectF& frame, QWidget* parent = nullptr);

    void setBackground(const QColor& color);
    QColor background() const { return m_background; }
    void setCornerRadius(qreal radius);
    qreal cornerRadius() const { return m_radius; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_background = Qt::transparent;
    qreal m_radius = 0;
};

// Integer widget geometry from a frame in points (x, y, width, height), truncating like the layout does.
QRect frameRect(const QRectF& frame);

} // namespace cw
