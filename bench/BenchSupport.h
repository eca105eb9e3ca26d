#pragma once
// What the benchmarks share: statistics and verdict lines, process figures read from /proc, child
// processes started and ended by PID, a private Xvfb, and the real demo engine in a throw-away home.
// (A benchmark that needs a feed server of its own uses the tests' one, tests/support/Support.h.)
//
// None of it is part of the product. Everything runs on the calling thread.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace cw::bench {

using Clock = std::chrono::steady_clock;

// --- figures ---------------------------------------------------------------------------------------

double median(std::vector<double> samples);
double minimum(const std::vector<double>& samples);
double maximum(const std::vector<double>& samples);
// Prints "  PASS  <text>" or "  MISS  <text>" and answers pass.
bool verdict(bool pass, const std::string& text);
// printf into a std::string.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// --- /proc -----------------------------------------------------------------------------------------

// utime + stime of pid in clock ticks.
std::optional<long long> cpuTicks(pid_t pid);
long long ticksPerSecond();
// CLOCK_MONOTONIC in nanoseconds, the clock every process on the machine shares.
long long monotonicNs();
// VmRSS of pid in KiB.
std::optional<long long> rssKiB(pid_t pid);
// Private_Clean + Private_Dirty of pid in KiB (memory no other process shares).
std::optional<long long> privateKiB(pid_t pid);
// Resident KiB of pid by mapping: the mapped file's path, or "[heap]", "[stack]", "[anon]" and the like.
std::map<std::string, long long> rssByMapping(pid_t pid);
// Open file descriptors of pid; -1 when /proc cannot tell.
int fdCount(pid_t pid);
// What each open descriptor of pid refers to, by number ("socket:[123]", a path, "anon_inode:[eventfd]").
std::map<int, std::string> fdTargets(pid_t pid);
// Live processes whose parent is pid (zombies included: they are children not yet reaped).
int childCount(pid_t pid);

// Connections to or from the loopback port closed in the last `seconds` (at most 59), read from the
// TIME_WAIT entries Linux keeps for 60 s and their remaining time: for a server that takes one connection
// per request, the requests it answered in that span.
int connectionsClosedWithin(int port, double seconds);

// --- child processes -------------------------------------------------------------------------------

// The current environment with the given variables set (an empty value removes the variable).
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& changes);

struct SpawnOptions {
    std::string cwd;
    std::vector<std::string> env; // empty: inherit
    int stdoutFd = -1;            // -1: /dev/null
    bool keepStderr = false;      // false: /dev/null
    // Extra descriptor to hand down: the child sees passFd as childFd.
    int passFd = -1;
    int childFd = -1;
};

// Starts argv[0] (a path); -1 when it cannot be started.
pid_t spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});
// Waits up to ms for pid to end; its exit status (or 128 + signal), nothing if it still runs.
std::optional<int> waitExit(pid_t pid, int ms);
// SIGTERM, up to graceMs to honour it, then SIGKILL; always reaps.
void stop(pid_t pid, int graceMs = 2000);

// Runs argv to the end and returns its standard output; nothing when it failed or overran ms. The exit
// status (or 128 + signal; -1 when it did not start or was stopped for overrunning) goes to *status.
std::optional<std::string> capture(const std::vector<std::string>& argv, const SpawnOptions& options, int ms,
                                   int* status = nullptr);

// --- a private X server ----------------------------------------------------------------------------

class VirtualDisplay {
public:
    VirtualDisplay() = default;
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Starts Xvfb on a display it picks itself; false when Xvfb is missing or did not come up.
    bool start();
    std::string name() const { return m_name; } // ":N"

private:
    pid_t m_pid = -1;
    std::string m_name;
};

// --- the bundle and the demo engine ----------------------------------------------------------------

std::string bundleAppDir();  // the build's "Crate Warden.app/Contents/Resources/app"
std::string cueviewBinary(); // the build's cueview
std::string sourceDir();
std::string python(); // /usr/bin/python3, else python3 as found on PATH

// A throw-away directory removed with its object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// A free loopback port (bound, read and released).
int unusedPort();
// GET http://127.0.0.1:port/path with a deadline; the status code and the body.
struct HttpAnswer {
    int status = 0;
    std::string body;
};
std::optional<HttpAnswer> httpGet(int port, const std::string& path, int ms);

// The bundled engine serving its demo set from a home of its own, on a port of its own.
class DemoEngine {
public:
    explicit DemoEngine(const std::string& home);
    ~DemoEngine();
    DemoEngine(const DemoEngine&) = delete;
    DemoEngine& operator=(const DemoEngine&) = delete;

    // Starts it and waits (up to ms) until its feed says "ok"; false when it did not.
    bool start(int ms = 60000);
    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }

private:
    std::string m_home;
    pid_t m_pid = -1;
    int m_port = 0;
};

// What the process benchmarks share: a throw-away home, a private X server (or offscreen), the demo
// engine already serving, and the spawn options that run a program from the bundle against them.
class OverlayRig {
public:
    OverlayRig() : engine(home.path()) {}
    // False, with the reason on standard error, when the demo engine did not come up.
    bool start(bool offscreen);

    TempDir home;
    VirtualDisplay display;
    DemoEngine engine;
    SpawnOptions options;
    bool offscreen = false;
};

} // namespace cw::bench
