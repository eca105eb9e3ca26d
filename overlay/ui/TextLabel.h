#pragma once
// A plain one-line text label: no editing, no selection, no border, no background. It keeps the full
// text and elides it only when laying it out, so text() is always what was set. A screen reader sees it
// as static text named by its text (ui/Accessible.h); each change is announced unless the label is part
// of a row that speaks for it. Main thread only.

#include "ui/TextLine.h"

#include <QColor>
#include <QString>
#include <QWidget>

class QTextLayout;

namespace cw {

class TextLabel : public QWidget {
    Q_OBJECT
public:
    explicit TextLabel(const QString& text = QString(), QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return m_text; }

    void setTextColor(const QColor& color);
    QColor textColor() const { return m_color; }

    // Qt::ElideRight (the default) and Qt::ElideMiddle shorten with an ellipsis; Qt::ElideNone clips.
    void setElideMode(Qt::TextElideMode mode);
    // AlignLeft is the panel language's leading side; add Qt::AlignAbsolute for a literal side.
    void setAlignment(Qt::Alignment alignment);
    // For feed fields: the line's direction follows the text's own first strong character.
    void setOwnDirection(bool own);
    // Whether a change of text is announced to screen readers (true unless a row speaks for the label).
    void setAnnounced(bool announced) { m_announced = announced; }

    // The line as it is drawn at the current size, font and direction.
    void layOut(QTextLayout& layout) const;
    QString displayedText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    QColor m_color = Qt::white;
    LineStyle m_style;
    bool m_announced = true;
};

} // namespace cw
