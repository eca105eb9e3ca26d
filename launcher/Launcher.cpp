#include "Launcher.h"

#include "Process.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>

namespace bootpad {

namespace {

using namespace std::chrono_literals;

constexpr auto kRunTestLimit = 6000ms;

constexpr const char* kShippedInterpreter = "/Frameworks/Python.framework/Versions/Current/bin/python3.11";
constexpr const char* kResourceDir = "/Resources/app";

constexpr const char* kMessageParts[] = {
    "Crate Warden needs Apple\u2019s Command Line Tools, a free one-time ",
    "download from Apple. Click Install in the box that appears, wait for ",
    "it to finish, then open Crate Warden again.",
};
constexpr const char* kAlertPrefix = "display alert \"One more thing to install\" message \"";
constexpr const char* kDialogTitle = "One more thing to install";

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string currentDirectory() {
    std::string buffer(PATH_MAX, '\0');
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return ".";
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path.front() == '/')
        return path;
    return currentDirectory() + "/" + path;
}

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// The first executable file called name in the directories of PATH, or an empty string.
std::string searchPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return {};
    std::string dirs(path);
    std::size_t from = 0;
    for (;;) {
        const std::size_t colon = dirs.find(':', from);
        std::string dir = dirs.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        if (dir.empty())
            dir = ".";
        const std::string candidate = dir + "/" + name;
        if (isExecutableFile(candidate))
            return candidate;
        if (colon == std::string::npos)
            return {};
        from = colon + 1;
    }
}

// The launcher's own path with symbolic links resolved. A bare name that is not in the current directory
// was found through PATH by whoever started us, so it is looked up there the same way.
std::string ownPath(const char* argv0) {
    std::string path = argv0 != nullptr ? argv0 : "";
    if (!path.empty() && path.find('/') == std::string::npos && !exists(path)) {
        const std::string found = searchPath(path);
        if (!found.empty())
            path = found;
    }
    if (char* real = realpath(absolute(path).c_str(), nullptr)) {
        std::string result(real);
        std::free(real);
        return result;
    }
    return absolute(path);
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

std::string installInstructions() {
    for (const PackageManager& manager : kPackageManagers) {
        if (isExecutableFile(manager.program))
            return std::string("To install Python 3 on this system, run:\n    ") + manager.installPython + "\n";
    }
    std::string text = "To install Python 3, use your distribution's package manager, for example:\n";
    for (const PackageManager& manager : kPackageManagers)
        text += std::string("    ") + manager.installPython + "\n";
    return text;
}

bool hasDesktop() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return true;
    }
    return false;
}

// Without the platform's installer: the message on standard error, where to get Python, and the same in a
// desktop dialog when there is a desktop and a dialog program.
void offerInstallElsewhere(const std::string& message) {
    const std::string instructions = installInstructions();
    writeAll(STDERR_FILENO, message + "\n" + instructions);
    if (!hasDesktop())
        return;
    const std::string text = message + "\n\n" + instructions;
    if (const std::string zenity = searchPath("zenity"); !zenity.empty()) {
        runAndWait(zenity,
                   {zenity, "--warning", "--no-markup", std::string("--title=") + kDialogTitle, "--text=" + text},
                   Output::Null);
    } else if (const std::string kdialog = searchPath("kdialog"); !kdialog.empty()) {
        runAndWait(kdialog, {kdialog, "--title", kDialogTitle, "--sorry", text}, Output::Null);
    }
}

volatile sig_atomic_t startScriptPid = 0;

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// While the start script runs, a request to stop the launcher is passed on to it; the launcher then ends
// with the status the start script ends with.
void forwardSignal(int signal) {
    if (startScriptPid > 0)
        kill(pid_t(startScriptPid), signal);
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals)
        sigaddset(&set, signal);
    return set;
}

void forwardStopSignals() {
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
}

} // namespace

Layout layoutFor(const char* argv0) {
    Layout layout;
    layout.here = parentOf(ownPath(argv0));
    const std::string contents = parentOf(layout.here);
    layout.appDir = contents + kResourceDir;
    layout.shipped = contents + kShippedInterpreter;
    return layout;
}

bool runs(const std::string& path) {
    if (path.empty() || !isExecutableFile(path))
        return false;
    const Started child = start(path, {path, "-c", "pass"}, {}, Output::Null);
    if (!child.ok())
        return false;
    if (const std::optional<int> status = waitUntil(child.pid, Clock::now() + kRunTestLimit))
        return *status == 0;
    end(child.pid);
    return false;
}

std::optional<std::string> usablePython(const Layout& layout) {
    if (runs(layout.shipped))
        return layout.shipped;
    for (const char* candidate : kSystemInterpreters) {
        if (runs(candidate))
            return std::string(candidate);
    }
    return std::nullopt;
}

std::string installMessage() {
    std::string message;
    for (const char* part : kMessageParts)
        message += part;
    return message;
}

void offerInstall() {
    const std::string message = installMessage();
    if (!isExecutableFile(kOsascript) || !isExecutableFile(kXcodeSelect)) {
        offerInstallElsewhere(message);
        return;
    }
    runAndWait(kOsascript, {kOsascript, "-e", kAlertPrefix + message + "\""});
    runAndWait(kXcodeSelect, {kXcodeSelect, "--install"});
}

int runStartScript(const Layout& layout, const std::string& python, const std::vector<std::string>& arguments) {
    setenv("TRK_PYTHON", python.c_str(), 1);
    std::vector<std::string> argv{kStartShell, "./overlay"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // A stop request that arrives while the start script is being started is held until it can be passed
    // on: otherwise the launcher could end and leave the start script, and all it starts, running.
    const sigset_t stops = stopSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &stops, &previous);
    forwardStopSignals();
    const Started child = start(kStartShell, argv, layout.appDir);
    if (child.ok())
        startScriptPid = child.pid;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!child.ok()) {
        writeAll(STDERR_FILENO, "Crate Warden: could not start (" + errorText(child.error) + ")\n");
        return 1;
    }
    return waitExit(child.pid);
}

} // namespace bootpad
