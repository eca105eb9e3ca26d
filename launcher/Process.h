#pragma once
// Child processes for the launcher: start one with posix_spawn, wait for it with or without a deadline, end
// one that overran. Single-threaded; the launcher never has more than one child at a time.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace bootpad {

using Clock = std::chrono::steady_clock;

// Where a child's standard output and standard error go; standard input is always inherited.
enum class Output { Inherit, Null };

struct Started {
    pid_t pid = -1;
    int error = 0; // errno-style code when the start failed
    bool ok() const { return error == 0 && pid > 0; }
};

// Starts path with argv (argv[0] included) and the current environment. A non-empty cwd becomes the
// child's working directory; a working directory that cannot be entered is a start failure.
Started start(const std::string& path, const std::vector<std::string>& argv, const std::string& cwd = {},
              Output output = Output::Inherit);

// Blocks until the child has ended and returns its termination status: the exit code, or the number of
// the signal that ended it.
int waitExit(pid_t pid);

// The termination status (as waitExit) once the child has ended, or nothing when the deadline came first. The child is
// looked at after a short sleep that starts well under a millisecond and grows to a few, so a quick
// child is judged about as soon as it exits and a slow one costs few wake-ups.
std::optional<int> waitUntil(pid_t pid, Clock::time_point deadline);

// Ends a child that is still running and reaps it: SIGTERM, a short grace, then SIGKILL.
void end(pid_t pid);

// Starts a program and waits for it; a failure to start is ignored.
void runAndWait(const std::string& path, const std::vector<std::string>& argv, Output output = Output::Inherit);

// A regular file that this process may execute.
bool isExecutableFile(const std::string& path);

// The description the C library gives for an errno value.
std::string errorText(int error);

} // namespace bootpad
