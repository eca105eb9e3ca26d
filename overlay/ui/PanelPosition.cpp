// Where the panel sits: the initial placement from the position file, saving each move to it, and the
// lock. Main thread only.

#include "controller/AppDelegate.h"

#include "config/FileText.h"
#include "config/Settings.h"
#include "ui/KeyPanel.h"
#include "ui/PositionFile.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QSaveFile>
#include <QScreen>

namespace cw {

namespace {

ScreenLayout currentScreens() {
    ScreenLayout layout;
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        layout.hasPrimary = true;
        layout.primary = primary->geometry();
        layout.primaryAvailable = primary->availableGeometry();
    }
    for (const QScreen* screen : QGuiApplication::screens())
        layout.available.append(screen->availableGeometry());
    return layout;
}

} // namespace

void AppDelegate::placePanelInitially() {
    const QSizeF size(settings().W, kPanelHeight);
    // Anything unreadable (missing, binary, a directory, oversized) counts as no saved position.
    const std::optional<QString> text = readUtf8File(settings().POS);
    if (const std::optional<QPoint> topLeft = initialTopLeft(text, size, currentScreens()))
        panel->move(*topLeft);
}

void AppDelegate::savePos() {
    if (!panel)
        return;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return;
    const QPointF origin = originOf(panel->pos(), QSizeF(panel->size()), primary->geometry());
    // The save replaces the file, and through a link it would replace the link's target, whatever that
    // is. Only a plain file of our own (or none yet) is ever written.
    const QFileInfo existing(settings().POS);
    if (existing.isSymLink() || (existing.exists() && !existing.isFile()))
        return;
    // A reader sees the old content or the new one, never half of either; failures are ignored.
    QSaveFile file(settings().POS);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(formatPosition(origin).toUtf8());
    file.commit();
}

void AppDelegate::toggleLock() {
    locked = !locked;
    render();
}

} // namespace cw
