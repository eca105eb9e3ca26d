#pragma once
// One track row of the panel: rank slot, title, detail line, and the file drag that hands the track
// to the DJ software. Built once by the panel, which shows a RowView in it after every change. Main
// thread only.
//
// A drag runs a nested event loop on Linux, so polls and renders go on during it: the drag carries the
// path it started with, whatever the row is set to meanwhile.

#include "feed/PanelView.h"

#include <QColor>
#include <QPixmap>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QWidget>

class QDrag;

namespace cw {

class TextLabel;

class DragRow : public QWidget {
    Q_OBJECT
public:
    // frame is the row's rectangle in its parent, in points (x, y, width, height).
    explicit DragRow(const QRectF& frame, QWidget* parent = nullptr);

    QString path;
    TextLabel* rank = nullptr;
    TextLabel* title = nullptr;
    TextLabel* meta = nullptr;

    // Shows the row as the view has it; a hidden row keeps its texts and path and loses its highlight.
    void setView(const RowView& view);
    // What a screen reader says for the row, which it sees as one item: "title, detail".
    QString spokenText() const;
    // A 2-point GREEN border when on, none when off.
    void highlight(bool on);
    bool isHighlighted() const { return m_highlighted; }

    void setBackground(const QColor& color);
    QColor background() const { return m_background; }

    // A picture of the row as currently drawn.
    QPixmap snap();

    // Whether a drag may start now: the path is absolute and, links followed, names a regular file.
    bool canDrag() const;

    // Whether a drag started by this row is under way.
    bool isDragging() const { return m_dragging; }

signals:
    // Emitted as a drag begins, with the path it carries.
    void dragStarted(const QString& path);
    // Emitted when a drag has ended, with the path it carried and the action the target took.
    void dragFinished(const QString& path, Qt::DropAction action);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void startDrag(const QPoint& hotSpot);

    QColor m_background;
    bool m_highlighted = false;
    bool m_pressed = false;
    bool m_dragging = false;
    QPoint m_pressPos;
    QPointer<QDrag> m_lastDrag;
};

} // namespace cw
