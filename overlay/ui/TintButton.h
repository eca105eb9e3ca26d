#pragma once
// A borderless text button whose text colour is its tint. A mode button that is on also gets a tinted
// background and outline, so its state shows whatever colour its glyph takes (a colour emoji ignores
// the tint). It never takes keyboard focus, so clicking it leaves the DJ's application focused. A screen
// reader hears its accessible name, and the state of a checkable one. Main thread only.

#include <QColor>
#include <QPushButton>
#include <QRect>

class QTextLayout;

namespace cw {

class TintButton : public QPushButton {
    Q_OBJECT
public:
    explicit TintButton(const QString& title, QWidget* parent = nullptr);

    void setTint(const QColor& tint);
    QColor tint() const { return m_tint; }
    // On: the tinted background and outline; a checkable button is checked too.
    void setOn(bool on);
    bool isOn() const { return m_on; }

    // Where the title and the on-state box go, in the button's coordinates: the whole button unless a
    // later sibling lies over part of it.
    void setTextArea(const QRect& area);
    QRect textArea() const { return m_area.isNull() ? rect() : m_area; }

    // The title as it is drawn, elided to the text area.
    void layOut(QTextLayout& layout) const;

signals:
    // The DJ's press, or a screen reader's press or toggle; the state shown changes only with setOn.
    void activated();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_tint;
    bool m_on = false;
    QRect m_area;
};

} // namespace cw
