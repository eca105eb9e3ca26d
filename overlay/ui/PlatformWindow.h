#pragma once
// What keeps the panel floating that Qt has no API for, behind platform-neutral calls, so that each
// windowing system supplies its own PlatformWindow_<system> file and nothing else changes.
// Main thread only.

#include <QPoint>
#include <Qt>

#include <optional>

class QWidget;

namespace cw {

// The flags of the panel's window. On X11 the window manager does not manage it at all: no window
// manager keeps a managed window above an active full-screen one, while an unmanaged window is above
// every managed one, on every desktop, and in no taskbar or pager. It then moves itself (KeyPanel).
Qt::WindowFlags floatingPanelFlags();

// Keeps `window` above other clients' windows: whenever another client's window comes to cover part of
// it, it is raised again (at most a few times a second, so two such panels cannot fight without end).
// Windows of this program (its tooltips, the picture a drag carries) stay above it. Call after every show.
void keepAboveOthers(QWidget* window);

// The centre of the window the user is working in (the window manager's active window), in the native
// pixels of the global screen space; none without a live, mapped active window.
std::optional<QPoint> activeWindowCentre();

} // namespace cw
