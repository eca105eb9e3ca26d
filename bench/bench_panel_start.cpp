// cueview's own start-up, unchanged, with the first-paint watch of FirstPaint.h added from outside:
// main runs cw::runOverlay exactly as cueview's main does, and the watch prints the moment the panel is
// first painted and quits, which ends the run the way the close button does. Run it like cueview: in
// the application resource directory, with an engine already serving the feed (bench_startup does this).

#include "FirstPaint.h"

#include "controller/Startup.h"

#include <QCoreApplication>

namespace {
void watch() {
    cw::bench::watchFirstPaint();
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(watch)

int main(int argc, char** argv) {
    return cw::runOverlay(argc, argv);
}
