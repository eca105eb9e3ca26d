#pragma once
// The entry of cueview: environment, settings, the one controller, the application loop. Runs once on
// the main thread; cueview's main is this call alone.

#include <QByteArray>
#include <QProcessEnvironment>

#include <optional>

namespace cw {

// The Qt platform the panel must run on whatever Qt would pick: xcb (XWayland) in a Wayland session with
// an X display, where Wayland would let no client stay above others or on every desktop. None when the
// user chose a platform (QT_QPA_PLATFORM) or the session is not Wayland.
std::optional<QByteArray> forcedPlatform(const QProcessEnvironment& env);

int runOverlay(int argc, char** argv);

} // namespace cw
