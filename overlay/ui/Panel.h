#pragma once
// The panel's widgets: the KeyPanel window and everything in it, built once with fixed frames, showing
// whatever PanelView it is given and nothing else. Its buttons and its moves reach the controller
// through the signals below, named after the actions they ask for. The Panel owns its window and so
// every view in it; the views are left public for the controller and the tests to look at. Main
// thread only.

#include "feed/PanelView.h"

#include <QList>
#include <QObject>
#include <QPointF>

#include <optional>

namespace cw {

class DragRow;
class KeyPanel;
class TextLabel;
class TintButton;

class Panel : public QObject {
    Q_OBJECT
public:
    // Builds the window, hidden, with `view` on it.
    explicit Panel(const PanelView& view);
    ~Panel() override;

    KeyPanel* window() const { return m_window; }

    void display(const PanelView& view);
    void showUpdateButton();

    // Moves the window to the saved position when that is still on a screen, else 16 points in from the
    // top-right corner of the screen the user works on. Not a move the controller hears of: call it
    // before showing.
    void placeInitially();
    // The window's origin as the position file records it (bottom-left corner, y upward); none
    // without a primary screen.
    std::optional<QPointF> savedOrigin() const;

    TextLabel* nowTitle = nullptr;
    TextLabel* nowMeta = nullptr;
    TextLabel* nxLab = nullptr;
    TextLabel* rutLab = nullptr;
    TintButton* btnVar = nullptr;
    TintButton* btnProven = nullptr;
    TintButton* btnMoment = nullptr;
    TintButton* btnPanic = nullptr;
    TintButton* btnLock = nullptr;
    TintButton* btnUpdate = nullptr;
    TintButton* btnSetup = nullptr;
    QList<DragRow*> rows;
    QList<DragRow*> freshRows;

signals:
    void quit();
    void reopenSetup();
    void toggleProven();
    void variation();
    void cycleMoment();
    void togglePanic();
    void openUpdate();
    void toggleLock();
    // After every move of the window, whatever moved it.
    void moved();

private:
    TintButton* mkBtn(qreal x, qreal width, const QString& title, void (Panel::*action)());

    KeyPanel* m_window = nullptr;
};

} // namespace cw
