#include "ui/TintButton.h"

#include "ui/TextLine.h"

#include <QPainter>
#include <QTextLayout>

namespace cw {

namespace {
// Room kept free inside the text area on each side, where the on-state outline runs.
constexpr int kInset = 3;
constexpr qreal kBoxRadius = 5;
constexpr qreal kBoxAlpha = 0.22;
} // namespace

TintButton::TintButton(const QString& title, QWidget* parent) : QPushButton(title, parent) {
    setFlat(true);
    setFocusPolicy(Qt::NoFocus);
    setAutoDefault(false);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_TranslucentBackground);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (!isCheckable())
            emit activated();
    });
    // A checkable button flips its checked state itself, on a click and on a screen reader's toggle
    // alike: each flip away from the state shown is a request, and the state goes back to what it shows
    // until setOn says otherwise.
    connect(this, &QAbstractButton::toggled, this, [this](bool checked) {
        if (checked == m_on)
            return;
        emit activated();
        setChecked(m_on);
    });
}

void TintButton::setTint(const QColor& tint) {
    if (tint == m_tint)
        return;
    m_tint = tint;
    update();
}

void TintButton::setOn(bool on) {
    if (on != m_on) {
        m_on = on;
        update();
    }
    setChecked(on && isCheckable());
}

void TintButton::setTextArea(const QRect& area) {
    m_area = area;
    update();
}

void TintButton::layOut(QTextLayout& layout) const {
    const LineStyle style{font(), Qt::AlignCenter, Qt::ElideRight, false};
    layOutLine(layout, text(), style, textArea().adjusted(kInset, 0, -kInset, 0), layoutDirection());
}

void TintButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor color = m_tint;
    if (isDown())
        color = color.lighter(140);
    if (m_on) {
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = color;
        fill.setAlphaF(float(kBoxAlpha));
        painter.setPen(QPen(color, 1));
        painter.setBrush(fill);
        // A point apart from the next button's box.
        painter.drawRoundedRect(QRectF(textArea()).adjusted(1.5, 0.5, -1.5, -0.5), kBoxRadius, kBoxRadius);
    }
    // The title, centred, in the tint: the panel's buttons have no bezel.
    painter.setPen(color);
    QTextLayout layout;
    layOut(layout);
    layout.draw(&painter, QPointF());
}

} // namespace cw
