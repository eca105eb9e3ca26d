#pragma once
// The entry of cueview: environment, settings, text table, the one controller, the application loop.
// Runs once on the main thread.

namespace cw {

int runOverlay(int argc, char** argv);

} // namespace cw
