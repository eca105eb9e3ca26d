#include "BenchSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace cw::bench {

namespace {

using namespace std::chrono_literals;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::max<long long>(0, left));
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

// --- figures ---------------------------------------------------------------------------------------

double median(std::vector<double> samples) {
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

double minimum(const std::vector<double>& samples) {
    return samples.empty() ? 0 : *std::min_element(samples.begin(), samples.end());
}

double maximum(const std::vector<double>& samples) {
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

bool verdict(bool pass, const std::string& text) {
    std::printf("  %s  %s\n", pass ? "PASS" : "MISS", text.c_str());
    std::fflush(stdout);
    return pass;
}

std::string format(const char* pattern, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

// --- /proc -----------------------------------------------------------------------------------------

std::optional<long long> cpuTicks(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces and parentheses; the fields after its last ')' are fixed.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // Fields 3.. of stat(5); utime is field 14 and stime 15, that is the 12th and 13th after the name.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

long long ticksPerSecond() {
    return ::sysconf(_SC_CLK_TCK);
}

long long monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::optional<long long> rssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atoll(line.c_str() + 6);
    }
    return std::nullopt;
}

std::optional<long long> privateKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    long long sum = 0;
    bool found = false;
    while (std::getline(in, line)) {
        if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0) {
            sum += std::atoll(line.c_str() + line.find(':') + 1);
            found = true;
        }
    }
    return found ? std::optional<long long>(sum) : std::nullopt;
}

std::map<std::string, long long> rssByMapping(pid_t pid) {
    std::map<std::string, long long> rss;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line, name;
    while (std::getline(in, line)) {
        if (line.rfind("Rss:", 0) == 0) {
            rss[name] += std::atoll(line.c_str() + 4);
            continue;
        }
        // A mapping's header: "start-end perms offset dev inode [path]"; the path may hold spaces.
        std::istringstream fields(line);
        std::string range, perms, offset, dev, inode;
        if (!(fields >> range >> perms >> offset >> dev >> inode) || range.find('-') == std::string::npos ||
            line.find(':') == std::string::npos || std::isupper(static_cast<unsigned char>(range[0])))
            continue;
        std::string path;
        std::getline(fields >> std::ws, path);
        name = path.empty() ? "[anon]" : path;
    }
    return rss;
}

int connectionsClosedWithin(int port, double seconds) {
    constexpr double kTimeWaitSeconds = 60;
    const double minRemaining = (kTimeWaitSeconds - std::min(seconds, kTimeWaitSeconds - 1)) * double(ticksPerSecond());
    int n = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer;
            fields >> slot >> local >> remote >> state >> queues >> timer;
            // "03:<remaining>" is the TIME_WAIT timer, in clock ticks.
            const size_t colon = timer.find(':');
            const double remaining =
                colon == std::string::npos ? 0 : double(std::strtoll(timer.c_str() + colon + 1, nullptr, 16));
            const auto portOf = [](const std::string& address) {
                const size_t colon = address.rfind(':');
                return colon == std::string::npos ? -1 : int(std::strtol(address.c_str() + colon + 1, nullptr, 16));
            };
            // Whichever side closed first holds the TIME_WAIT; one connection shows it once.
            if (state == "06" && remaining >= minRemaining && (portOf(local) == port || portOf(remote) == port))
                ++n;
        }
    }
    return n;
}

int fdCount(pid_t pid) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    int n = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++n;
    }
    ::closedir(dir);
    return n - 1; // the directory stream's own descriptor
}

std::map<int, std::string> fdTargets(pid_t pid) {
    std::map<int, std::string> targets;
    const std::string dirPath = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(dirPath.c_str());
    if (!dir)
        return targets;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (pid == ::getpid() && fd == own)
            continue;
        char target[512];
        const ssize_t n = ::readlink((dirPath + '/' + entry->d_name).c_str(), target, sizeof target - 1);
        targets[fd] = n > 0 ? std::string(target, size_t(n)) : std::string("?");
    }
    ::closedir(dir);
    return targets;
}

int childCount(pid_t pid) {
    DIR* dir = ::opendir("/proc");
    if (!dir)
        return -1;
    int n = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        const std::string stat = readFile(std::string("/proc/") + entry->d_name + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        long long ppid = 0;
        fields >> state >> ppid;
        if (ppid == pid)
            ++n;
    }
    ::closedir(dir);
    return n;
}

// --- child processes -------------------------------------------------------------------------------

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (!changes.count(name))
            env.push_back(entry);
    }
    for (const auto& [name, value] : changes) {
        if (!value.empty())
            env.push_back(name + '=' + value);
    }
    return env;
}

pid_t spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.stdoutFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!options.keepStderr)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (options.passFd >= 0 && options.childFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.passFd, options.childFd);
    if (!options.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const std::string& entry : options.env)
        env.push_back(const_cast<char*>(entry.c_str()));
    env.push_back(nullptr);

    pid_t pid = -1;
    const int rc =
        posix_spawn(&pid, args[0], &actions, nullptr, args.data(), options.env.empty() ? environ : env.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

std::optional<int> waitExit(pid_t pid, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

void stop(pid_t pid, int graceMs) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    if (waitExit(pid, graceMs))
        return;
    ::kill(pid, SIGKILL);
    waitExit(pid, 10000);
}

std::optional<std::string> capture(const std::vector<std::string>& argv, const SpawnOptions& options, int ms,
                                   int* status) {
    int ignored = 0;
    int& result = status ? *status : ignored;
    result = -1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    SpawnOptions withPipe = options;
    withPipe.stdoutFd = fds[1];
    const pid_t pid = spawn(argv, withPipe);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return std::nullopt;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::string out;
    bool open = true;
    while (open && Clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, size_t(n));
        else if (n == 0 || errno != EINTR)
            open = false;
    }
    ::close(fds[0]);
    const std::optional<int> exited = waitExit(pid, std::max(remainingMs(deadline), 1));
    if (!exited) {
        stop(pid);
        return std::nullopt;
    }
    result = *exited;
    return result == 0 ? std::optional<std::string>(out) : std::nullopt;
}

// --- a private X server ----------------------------------------------------------------------------

VirtualDisplay::~VirtualDisplay() {
    stop(m_pid);
}

bool VirtualDisplay::start() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    SpawnOptions options;
    options.passFd = fds[1];
    options.childFd = 3;
    m_pid = spawn({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1920x1080x24", "-nolisten", "tcp"}, options);
    ::close(fds[1]);
    std::string number;
    const auto deadline = Clock::now() + 20s;
    while (m_pid > 0 && number.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0)
            break;
        char buffer[32];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        number.append(buffer, size_t(n));
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        stop(m_pid);
        m_pid = -1;
        return false;
    }
    m_name = ':' + number.substr(0, number.find('\n'));
    return true;
}

// --- the bundle and the demo engine ----------------------------------------------------------------

std::string bundleAppDir() {
    return CW_BUNDLE_APP_DIR;
}

std::string cueviewBinary() {
    return CW_CUEVIEW;
}

std::string sourceDir() {
    return CW_SOURCE_DIR;
}

std::string python() {
    // The system's interpreter first: a PATH entry may be a version manager's shim, a script that takes
    // longer to start than Python itself.
    if (::access("/usr/bin/python3", X_OK) == 0)
        return "/usr/bin/python3";
    if (const char* path = std::getenv("PATH")) {
        std::istringstream dirs(path);
        std::string dir;
        while (std::getline(dirs, dir, ':')) {
            const std::string candidate = dir + "/python3";
            if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
    }
    return "python3";
}

TempDir::TempDir() {
    char pattern[] = "/tmp/cw-bench.XXXXXX";
    if (::mkdtemp(pattern))
        m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    if (!m_path.empty())
        fs::remove_all(m_path, error);
}

int unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

std::optional<HttpAnswer> httpGet(int port, const std::string& path, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return std::nullopt;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    std::optional<HttpAnswer> answer;
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if ((rc == 0 || (errno == EINPROGRESS && ::poll(&p, 1, remainingMs(deadline)) > 0)) &&
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        std::string reply;
        if (sendAll(fd, request.data(), request.size())) {
            for (;;) {
                pollfd in{fd, POLLIN, 0};
                if (::poll(&in, 1, remainingMs(deadline)) <= 0)
                    break;
                char buffer[8192];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    const size_t head = reply.find("\r\n\r\n");
                    if (reply.rfind("HTTP/", 0) == 0 && head != std::string::npos) {
                        answer = HttpAnswer{std::atoi(reply.c_str() + reply.find(' ') + 1), reply.substr(head + 4)};
                    }
                    break;
                }
                reply.append(buffer, size_t(n));
            }
        }
    }
    ::close(fd);
    return answer;
}

DemoEngine::DemoEngine(const std::string& home) : m_home(home) {}

DemoEngine::~DemoEngine() {
    stop(m_pid);
}

bool DemoEngine::start(int ms) {
    m_port = unusedPort();
    SpawnOptions options;
    options.cwd = bundleAppDir();
    options.env = environmentWith({{"HOME", m_home}, {"CW_ENGINE_PORT", std::to_string(m_port)}});
    m_pid = spawn({python(), bundleAppDir() + "/live_next.py"}, options);
    if (m_pid < 0)
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
        const std::optional<HttpAnswer> answer = httpGet(m_port, "/json", 1000);
        if (answer && answer->status == 200 && answer->body.find("\"ok\":true") != std::string::npos)
            return true;
        if (waitExit(m_pid, 100)) {
            m_pid = -1;
            return false;
        }
    }
    return false;
}

bool OverlayRig::start(bool wantOffscreen) {
    offscreen = wantOffscreen;
    if (!offscreen && !display.start()) {
        std::fprintf(stderr, "Xvfb did not start; measuring offscreen instead\n");
        offscreen = true;
    }
    if (!engine.start()) {
        std::fprintf(stderr, "the demo engine did not come up\n");
        return false;
    }
    options.cwd = bundleAppDir();
    options.env = environmentWith({{"HOME", home.path()},
                                   {"TRK_PYTHON", python()},
                                   {"QT_QPA_PLATFORM", offscreen ? "offscreen" : "xcb"},
                                   {"DISPLAY", offscreen ? "" : display.name()}});
    return true;
}

} // namespace cw::bench
