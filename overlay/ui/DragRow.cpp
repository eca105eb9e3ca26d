#include "ui/DragRow.h"

#include "config/Settings.h"
#include "ui/Style.h"
#include "ui/TextLabel.h"

#include <QAccessible>
#include <QApplication>
#include <QDrag>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QUrl>

namespace cw {

namespace {
constexpr qreal kRowHeight = 44;
constexpr int kSideMargin = 10;
constexpr int kTextX = 34;
constexpr qreal kCornerRadius = 9;
const QColor kRowBackground = QColor::fromRgbF(0.09f, 0.09f, 0.12f, 1.0f);
} // namespace

DragRow::DragRow(const QRectF& frame, QWidget* parent) : QWidget(parent), m_background(kRowBackground) {
    setGeometry(int(frame.x()), int(frame.y()), int(frame.width()), int(frame.height()));
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    // The texts keep the rank slot's margin on the right too, clear of the highlight border.
    const int textWidth = width() - kTextX - kSideMargin;

    // Frames measured from the row's top (the row is 44 points high).
    rank = new TextLabel(QString(), this);
    rank->setFont(systemFont(14, QFont::Bold));
    rank->setTextColor(settings().RANKGRAY);
    rank->setAlignment(Qt::AlignLeft | Qt::AlignAbsolute | Qt::AlignVCenter);
    rank->setGeometry(kSideMargin, int(kRowHeight - 13 - 20), 22, 20);

    title = new TextLabel(QString(), this);
    title->setFont(systemFont(14, QFont::Medium));
    title->setTextColor(Qt::white);
    title->setElideMode(Qt::ElideMiddle);
    title->setOwnDirection(true);
    title->setGeometry(kTextX, int(kRowHeight - 21 - 20), textWidth, 20);

    meta = new TextLabel(QString(), this);
    meta->setFont(systemFont(12, QFont::Normal));
    meta->setTextColor(grey(0.62f));
    meta->setGeometry(kTextX, int(kRowHeight - 4 - 16), textWidth, 16);

    for (TextLabel* label : {rank, title, meta}) {
        // Presses on the labels belong to the row, never to the panel behind it; the row speaks for them.
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        label->setAnnounced(false);
    }
}

void DragRow::setView(const RowView& view) {
    highlight(view.shown && view.highlighted);
    if (!view.shown) {
        hide();
        return;
    }
    rank->setText(view.rank);
    if (view.rankTone)
        rank->setTextColor(colorOf(*view.rankTone));
    const QString spokenBefore = spokenText();
    title->setText(view.title);
    meta->setText(view.detail);
    path = view.path;
    show();
    if (spokenText() != spokenBefore) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

QString DragRow::spokenText() const {
    return meta->text().isEmpty() ? title->text() : title->text() + QStringLiteral(", ") + meta->text();
}

void DragRow::highlight(bool on) {
    if (on == m_highlighted)
        return;
    m_highlighted = on;
    update();
}

void DragRow::setBackground(const QColor& color) {
    m_background = color;
    update();
}

QPixmap DragRow::snap() {
    if (width() <= 0 || height() <= 0)
        return QPixmap();
    return grab();
}

bool DragRow::canDrag() const {
    // Only a track file: a relative path would be read against our own working directory, and a
    // directory, FIFO or device (links followed) is nothing a deck can load. Otherwise the row stays
    // as it is, undraggable, as for a track that is missing.
    return path.startsWith(u'/') && QFileInfo(path).isFile();
}

void DragRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect());
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_background);
    painter.drawRoundedRect(box, kCornerRadius, kCornerRadius);
    if (m_highlighted) {
        // The border lies inside the bounds, as a layer border does.
        QPen pen(settings().GREEN, 2);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(box.adjusted(1, 1, -1, -1), kCornerRadius - 1, kCornerRadius - 1);
    }
}

void DragRow::mousePressEvent(QMouseEvent* event) {
    // Accepting the press keeps it from reaching the panel, which would start moving the window.
    event->accept();
    if (event->button() == Qt::LeftButton) {
        m_pressed = true;
        m_pressPos = event->position().toPoint();
    }
}

void DragRow::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (!m_pressed || m_dragging || !(event->buttons() & Qt::LeftButton))
        return;
    if ((event->position().toPoint() - m_pressPos).manhattanLength() < QApplication::startDragDistance())
        return;
    m_pressed = false;
    startDrag(m_pressPos);
}

void DragRow::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    m_pressed = false;
}

void DragRow::startDrag(const QPoint& hotSpot) {
    if (!canDrag())
        return;
    // The drag runs its own event loop, in which polls and renders may set this row anew: everything
    // the drag needs is fixed here.
    const QString dragged = path;
    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(dragged)});
    // A drag is not deleted when exec() returns: the receiver may still ask for its data. On X11 Qt
    // deletes it once the drop is through, but not after a drag that was dropped nowhere; by the next
    // drag the last one is long over, so at most one is kept.
    delete m_lastDrag;
    auto* drag = new QDrag(this);
    m_lastDrag = drag;
    drag->setMimeData(mime);
    const QPixmap picture = snap();
    if (!picture.isNull()) {
        drag->setPixmap(picture);
        drag->setHotSpot(hotSpot);
    }
    const QPointer<DragRow> alive(this);
    m_dragging = true;
    emit dragStarted(dragged);
    const Qt::DropAction action = drag->exec(Qt::CopyAction, Qt::CopyAction);
    if (!alive)
        return; // the row was destroyed during the drag, and the drag with it
    m_dragging = false;
    emit dragFinished(dragged, action);
}

} // namespace cw
