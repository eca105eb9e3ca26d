#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace bootpad {

namespace {

using namespace std::chrono_literals;

constexpr auto kFirstLook = 200us;
constexpr auto kLongestLook = 1ms;
// How long a child that overran the run test gets to honour SIGTERM before it is killed.
constexpr auto kTermGrace = 500ms;

int terminationStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return WTERMSIG(status);
    return 1;
}

// posix_spawn's action and attribute objects must be destroyed on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool hasActions = false;
    bool hasAttributes = false;
    bool ready = false;
    SpawnSetup() {
        hasActions = posix_spawn_file_actions_init(&actions) == 0;
        hasAttributes = posix_spawnattr_init(&attributes) == 0;
        ready = hasActions && hasAttributes;
    }
    ~SpawnSetup() {
        if (hasAttributes)
            posix_spawnattr_destroy(&attributes);
        if (hasActions)
            posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

Started start(const std::string& path, const std::vector<std::string>& argv, const std::string& cwd, Output output) {
    SpawnSetup setup;
    if (!setup.ready)
        return {-1, ENOMEM};
    int rc = 0;
    if (output == Output::Null) {
        rc = posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        if (rc == 0)
            rc = posix_spawn_file_actions_adddup2(&setup.actions, STDOUT_FILENO, STDERR_FILENO);
    }
    if (rc == 0 && !cwd.empty())
        rc = posix_spawn_file_actions_addchdir_np(&setup.actions, cwd.c_str());
    // The launcher may hold stop signals blocked while it starts a child; the child starts with none blocked.
    sigset_t none;
    sigemptyset(&none);
    if (rc == 0)
        rc = posix_spawnattr_setsigmask(&setup.attributes, &none);
    if (rc == 0)
        rc = posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK);
    if (rc != 0)
        return {-1, rc};

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    rc = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, args.data(), environ);
    if (rc != 0)
        return {-1, rc};
    return {pid, 0};
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 1;
    }
    return terminationStatus(status);
}

std::optional<int> waitUntil(pid_t pid, Clock::time_point deadline) {
    auto look = std::chrono::duration_cast<Clock::duration>(kFirstLook);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return terminationStatus(status);
        if (r < 0 && errno != EINTR)
            return 1; // not our child any more: nothing left to wait for
        const auto now = Clock::now();
        if (now >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::min(look, deadline - now));
        look = std::min(look * 2, std::chrono::duration_cast<Clock::duration>(kLongestLook));
    }
}

void end(pid_t pid) {
    kill(pid, SIGTERM);
    if (waitUntil(pid, Clock::now() + kTermGrace))
        return;
    kill(pid, SIGKILL);
    waitExit(pid);
}

void runAndWait(const std::string& path, const std::vector<std::string>& argv, Output output) {
    const Started child = start(path, argv, {}, output);
    if (child.ok())
        waitExit(child.pid);
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string errorText(int error) {
    return std::strerror(error);
}

} // namespace bootpad
