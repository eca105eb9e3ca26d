#pragma once
// A borderless text button whose text colour is its tint. It never takes keyboard focus, so clicking
// it leaves the DJ's application focused. Main thread only.

#include <QColor>
#include <QPushButton>

namespace cw {

class TintButton : public QPushButton {
    Q_OBJECT
public:
    explicit TintButton(const QString& title, QWidget* parent = nullptr);

    void setTint(const QColor& tint);
    QColor tint() const { return m_tint; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_tint;
};

} // namespace cw
