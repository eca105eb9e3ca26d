#pragma once
// A plain one-line text label: no editing, no selection, no border, no background. It keeps the full
// text and elides it only when painting, so text() is always what was set. Main thread only.

#include <QColor>
#include <QString>
#include <QWidget>

namespace cw {

class TextLabel : public QWidget {
    Q_OBJECT
public:
    explicit TextLabel(const QString& text = QString(), QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return m_text; }

    void setTextColor(const QColor& color);
    QColor textColor() const { return m_color; }

    // Qt::ElideNone clips; Qt::ElideMiddle / Qt::ElideRight shorten with an ellipsis.
    void setElideMode(Qt::TextElideMode mode);
    Qt::TextElideMode elideMode() const { return m_elide; }

    void setAlignment(Qt::Alignment alignment);
    Qt::Alignment alignment() const { return m_alignment; }

    // What would be painted at the current width and font.
    QString displayedText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    QColor m_color = Qt::white;
    Qt::TextElideMode m_elide = Qt::ElideNone;
    Qt::Alignment m_alignment = Qt::AlignLeft | Qt::AlignVCenter;
};

} // namespace cw
