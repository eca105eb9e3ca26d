#pragma once
// The moment a program first puts a window on the screen, seen from inside without touching the
// program's own code: an application-wide event filter, installed from the QApplication constructor by
// Q_COREAPP_STARTUP_FUNCTION, notices the first paint event. Painting and the flush to the window happen
// inside one event, so a call queued from there runs once the first frame is out: it prints
//   first-paint <CLOCK_MONOTONIC in ns> <CPU time of the process so far in µs, all threads>
// on standard output and quits the application. Main thread only.

namespace cw::bench {

// Installs the filter; meant for Q_COREAPP_STARTUP_FUNCTION.
void watchFirstPaint();

} // namespace cw::bench
