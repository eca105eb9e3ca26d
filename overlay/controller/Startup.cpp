#include "controller/Startup.h"

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "controller/TerminationSignals.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace cw {

namespace {
// The module-level owner of the controller: it lives as long as the process.
AppDelegate* delegate = nullptr;
} // namespace

int runOverlay(int argc, char** argv) {
    // Interpreters we start write no compiled-module caches into the application tree.
    ::setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    installSettings(computeSettings(StartupInputs::fromProcess()));

    QApplication app(argc, argv);
    // The panel is the only surface; nothing but quit() ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    delegate = new AppDelegate;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, delegate, [] { delegate->applicationWillTerminate(); });
    TerminationSignals termination([] { delegate->quit(); });
    QTimer::singleShot(0, delegate, [] { delegate->applicationDidFinishLaunching(); });
    const int status = app.exec();
    delegate->applicationWillTerminate();
    // End here without running destructors: an engine we started keeps running until it honours the
    // SIGTERM it was sent, and a hung update check must not hold up the exit.
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace cw
