// Where the panel sits: initial placement, remembering moves, and the lock. Main thread only.
// (First cut: default placement only; the position file comes with the panel work.)

#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "ui/KeyPanel.h"

#include <QGuiApplication>
#include <QScreen>

namespace cw {

void AppDelegate::placePanelInitially() {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect v = screen->availableGeometry();
        panel->move(int(v.right() + 1 - settings().W - 16), v.top() + 16);
    }
}

void AppDelegate::savePos() {}

void AppDelegate::toggleLock() {
    locked = !locked;
    render();
}

} // namespace cw
