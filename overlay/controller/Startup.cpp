#include "controller/Startup.h"

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "controller/TerminationSignals.h"
#include "ui/Accessible.h"
#include "ui/Style.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace cw {

namespace {
// The module-level owner of the controller: it lives as long as the process.
AppDelegate* delegate = nullptr;
} // namespace

std::optional<QByteArray> forcedPlatform(const QProcessEnvironment& env) {
    const bool wayland = env.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland") ||
                         !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
    if (wayland && !env.value(QStringLiteral("DISPLAY")).isEmpty() &&
        env.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty())
        return QByteArrayLiteral("xcb");
    return std::nullopt;
}

int runOverlay(int argc, char** argv) {
    // Interpreters we start write no compiled-module caches into the application tree.
    ::setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    if (const std::optional<QByteArray> platform = forcedPlatform(QProcessEnvironment::systemEnvironment()))
        qputenv("QT_QPA_PLATFORM", *platform);
    installSettings(computeSettings(StartupInputs::fromProcess()));

    // Screen readers meet the panel's own widgets through these interfaces; none exists yet.
    installAccessibility();
    QApplication app(argc, argv);
    // Right to left for Hebrew, for every window of the program (the panel sets its own too).
    QGuiApplication::setLayoutDirection(panelDirection());
    // The panel is the only surface; nothing but quit() ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    delegate = new AppDelegate;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, delegate, [] { delegate->applicationWillTerminate(); });
    TerminationSignals termination([] { delegate->quit(); });
    QTimer::singleShot(0, delegate, [] { delegate->applicationDidFinishLaunching(); });
    const int status = app.exec();
    delegate->applicationWillTerminate();
    // End here without running destructors: the engine we started has ended or been killed by now, and a
    // hung update check must not hold up the exit.
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace cw
