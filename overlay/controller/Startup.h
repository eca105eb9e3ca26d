#pragma once
// The entry of cueview: environment, settings, the one controller, the application loop. Runs once on
// the main thread; cueview's main is this call alone.

namespace cw {

int runOverlay(int argc, char** argv);

} // namespace cw
