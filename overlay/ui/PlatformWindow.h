#pragma once
// The few window-manager hints Qt has no API for, kept behind one platform-neutral call so that each
// windowing system supplies its own PlatformWindow_<system> file and nothing else changes.
// Main thread only.

class QWidget;

namespace cw {

// Asks the window manager to show `window` on every virtual desktop, above ordinary windows, and to
// leave it out of the taskbar and the pager. Window managers forget these hints whenever the window is
// hidden, so the panel calls this before every show, while the native window exists but is not yet
// mapped. Does nothing on platforms (offscreen, Wayland) where the hints do not apply.
void applyFloatingPanelHints(QWidget* window);

// Ends a move that QWindow::startSystemMove() handed to the window manager. Needed when the button
// was released before the window manager took the pointer: it would otherwise keep moving the window
// until the next click. Does nothing where no such move can be under way.
void cancelSystemMove(QWidget* window);

} // namespace cw
