// bootpad's own cost on a healthy machine. In a throw-away bundle whose shipped interpreter is the system's
// Python 3 and whose start script only exits, it times
//   bootpad                 the launcher: run test of the shipped interpreter, then the start script;
//   by hand                 "python3 -c pass", then "/bin/bash ./overlay", started one after the other;
// alternately, and prints the medians and the median of the per-round differences (each round's bootpad
// run against the by-hand pair right beside it, which cancels most of a busy machine's drift): what bootpad
// adds over doing its two steps by hand.
//
// Target: within a few milliseconds, taken as 5 ms for the median per-round difference.
// Usage: bench_bootpad <bootpad> [python3 (default /usr/bin/python3)] [rounds (default 40)]

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Runs argv[0] with output to the null device, in cwd when given; returns the wall time in milliseconds,
// or a negative value when it did not start or did not exit with 0.
double timed(const std::vector<std::string>& argv, const std::string& cwd = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const auto start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

struct Stats {
    double median, mean, min;
};

Stats stats(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double s : samples)
        sum += s;
    const std::size_t n = samples.size();
    const double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return {median, sum / double(n), samples.front()};
}

void print(const char* name, const Stats& s) {
    std::printf("  %-34s median %7.2f ms   mean %7.2f ms   min %7.2f ms\n", name, s.median, s.mean, s.min);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <bootpad> [python3] [rounds]\n", argv[0]);
        return 2;
    }
    const std::string python = argc > 2 ? argv[2] : "/usr/bin/python3";
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 40;

    char pattern[] = "/tmp/cw-bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root(pattern);
    const fs::path contents = root / "Crate Warden.app" / "Contents";
    const fs::path appDir = contents / "Resources" / "app";
    const fs::path shipped = contents / "Frameworks/Python.framework/Versions/Current/bin/python3.11";
    const fs::path bootpad = contents / "MacOS" / "bootpad";
    std::error_code error;
    fs::create_directories(appDir, error);
    fs::create_directories(shipped.parent_path(), error);
    fs::create_directories(bootpad.parent_path(), error);
    fs::copy_file(argv[1], bootpad, error);
    fs::create_symlink(python, shipped, error);
    std::ofstream(appDir / "overlay") << "exit 0\n";
    if (error) {
        std::fprintf(stderr, "could not lay out the bundle in %s: %s\n", root.c_str(), error.message().c_str());
        fs::remove_all(root, error);
        return 1;
    }

    std::vector<double> launcher, byHand, interpreter, shell, added;
    bool ok = true;
    for (int i = 0; i < rounds + 3 && ok; ++i) {
        const double a = timed({bootpad.string()});
        const double p = timed({python, "-c", "pass"});
        const double b = timed({"/bin/bash", "./overlay"}, appDir.string());
        ok = a >= 0 && p >= 0 && b >= 0;
        if (i >= 3) { // the first rounds warm the caches
            launcher.push_back(a);
            interpreter.push_back(p);
            shell.push_back(b);
            byHand.push_back(p + b);
            added.push_back(a - (p + b));
        }
    }
    fs::remove_all(root, error);
    if (!ok) {
        std::fprintf(stderr, "a run failed: is %s a working interpreter?\n", python.c_str());
        return 1;
    }

    const Stats l = stats(launcher), h = stats(byHand);
    std::printf("bootpad overhead, %d rounds, interpreter %s\n", rounds, python.c_str());
    print("python3 -c pass", stats(interpreter));
    print("/bin/bash ./overlay", stats(shell));
    print("by hand (the two above)", h);
    print("bootpad", l);
    std::printf("  bootpad - by hand: medians %+.2f ms, minima %+.2f ms\n", l.median - h.median, l.min - h.min);
    const double perRound = stats(added).median;
    std::printf("  %s  bootpad adds %+.2f ms (median of the per-round differences; target within 5 ms)\n",
                perRound <= 5.0 ? "PASS" : "MISS", perRound);
    return 0;
}
