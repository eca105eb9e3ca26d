#pragma once
// bootpad: finds an interpreter that runs, offers the missing tools when none does, otherwise runs the
// start script "overlay" in the application resource directory and ends with its status.
// Plain C++ and POSIX, single-threaded.

#include <optional>
#include <string>
#include <vector>

namespace bootpad {

// Fixed places on the system. A test build (CW_BOOTPAD_TEST_ROOT defined at compile time) moves every one of
// them under a directory its tests own, so those tests can put fake interpreters and platform programs
// there; the product has no way to change or extend them.
#ifdef CW_BOOTPAD_TEST_ROOT
#define BOOTPAD_FIXED(path) CW_BOOTPAD_TEST_ROOT path
#else
#define BOOTPAD_FIXED(path) path
#endif

// The interpreters after the shipped one, in the order they are tried.
inline constexpr const char* kSystemInterpreters[] = {
    BOOTPAD_FIXED("/usr/bin/python3"),
    BOOTPAD_FIXED("/opt/homebrew/bin/python3"),
    BOOTPAD_FIXED("/usr/local/bin/python3"),
    BOOTPAD_FIXED("/Library/Frameworks/Python.framework/Versions/Current/bin/python3"),
};
inline constexpr const char* kOsascript = BOOTPAD_FIXED("/usr/bin/osascript");
inline constexpr const char* kXcodeSelect = BOOTPAD_FIXED("/usr/bin/xcode-select");

// Package managers whose install command is named where the platform installer does not exist.
struct PackageManager {
    const char* program;
    const char* installPython;
};
inline constexpr PackageManager kPackageManagers[] = {
    {BOOTPAD_FIXED("/usr/bin/apt-get"), "sudo apt-get install python3"},
    {BOOTPAD_FIXED("/usr/bin/dnf"), "sudo dnf install python3"},
    {BOOTPAD_FIXED("/usr/bin/pacman"), "sudo pacman -S python"},
};

#undef BOOTPAD_FIXED

inline constexpr const char* kStartShell = "/bin/bash";

struct Layout {
    std::string here;    // directory of the real executable
    std::string appDir;  // application resource directory, holds the start script
    std::string shipped; // interpreter shipped inside the bundle
};

// Derives the layout from the first command-line argument, with symbolic links resolved.
Layout layoutFor(const char* argv0);

// Whether the interpreter at path starts and exits with status 0 when asked to run "pass", within 6 s.
bool runs(const std::string& path);

// The first candidate that runs: the shipped interpreter, then the system ones in their fixed order.
std::optional<std::string> usablePython(const Layout& layout);

// The message and the platform's installer (or, without one, a dialog and install instructions).
std::string installMessage();
void offerInstall();

// Runs "/bin/bash" "./overlay" arguments... in appDir with TRK_PYTHON set, waits, and returns the
// status the launcher ends with.
int runStartScript(const Layout& layout, const std::string& python, const std::vector<std::string>& arguments);

} // namespace bootpad
