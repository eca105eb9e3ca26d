// Idle cost: the real cueview polling the bundled demo engine, beside a minimal Qt Widgets window,
// all running at the same time the same way (application resource directory, throw-away HOME, a private
// Xvfb or offscreen). Only the overlay's own process is measured, never the engine's:
//   CPU    utime + stime from /proc/<pid>/stat over the measured span, as a share of one core;
//   RSS    VmRSS from /proc/<pid>/status, sampled every second (median and peak), plus the private part
//          (smaps_rollup) and, at the end, where the resident memory lies (smaps), for information.
// A third program runs beside them for information only: the minimal window with one line of text in it,
// which shows what any window pays once it draws text.
// The engine is started here, before cueview, so cueview finds it and starts none; at the end the run
// counts the polls the engine answered in the measured span and checks that cueview has no child.
//
// Usage: bench_idle [--seconds N (default 60)] [--warmup S (default 5)] [--offscreen]
// Targets: under 0.5 % of one core; RSS within 1.3 × the minimal window's.

#include "BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

using namespace cw::bench;
using namespace std::chrono_literals;

namespace {

struct Watched {
    Watched(const char* n, std::vector<std::string> a) : name(n), argv(std::move(a)) {}
    const char* name;
    std::vector<std::string> argv;
    pid_t pid = -1;
    long long ticksAtStart = 0;
    long long ticksAtEnd = 0;
    std::vector<double> rssMiB;
    double privateMiB = 0;
    std::map<std::string, long long> mappings;

    double cpuPercent(double seconds) const {
        return 100.0 * double(ticksAtEnd - ticksAtStart) / double(ticksPerSecond()) / seconds;
    }
};

// Where resident memory lies, in groups that say what it is for; the first group that matches wins.
const std::vector<std::pair<const char*, std::regex>>& groups() {
    static const std::vector<std::pair<const char*, std::regex>> list{
        {"network (QtNetwork, Kerberos, libproxy)", std::regex("libQt6Network|krb5|gssapi|k5crypto|libproxy|libresolv|"
                                                               "keyutils|com_err|libpxbackend")},
        {"text (fonts, shaping, fontconfig)",
         std::regex("harfbuzz|freetype|fontconfig|graphite|brotli|\\.ttf|\\.otf|\\.ttc|libexpat|libpng|libbz2")},
        {"Qt Core, Gui, Widgets, platform", std::regex("libQt6|/qt6/plugins/")},
        {"heap and anonymous memory", std::regex("^\\[")},
        {"the program itself", std::regex("/bench_minimal_window$|/cueview$")},
        {"other shared libraries and files", std::regex(".")},
    };
    return list;
}

std::map<std::string, double> grouped(const std::map<std::string, long long>& mappings) {
    std::map<std::string, double> mib;
    for (const auto& [path, kib] : mappings) {
        for (const auto& [name, pattern] : groups()) {
            if (std::regex_search(path, pattern)) {
                mib[name] += double(kib) / 1024;
                break;
            }
        }
    }
    return mib;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    double warmup = 5;
    bool offscreen = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1.0, std::atof(argv[++i]));
        else if (std::strcmp(argv[i], "--warmup") == 0 && i + 1 < argc)
            warmup = std::max(0.0, std::atof(argv[++i]));
        else if (std::strcmp(argv[i], "--offscreen") == 0)
            offscreen = true;
        else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--warmup S] [--offscreen]\n", argv[0]);
            return 2;
        }
    }

    OverlayRig rig;
    if (!rig.start(offscreen))
        return 1;
    offscreen = rig.offscreen;
    DemoEngine& engine = rig.engine;
    const SpawnOptions& options = rig.options;
    Watched minimal("minimal Qt Widgets window", {CW_MINIMAL_WINDOW});
    Watched text("  the same with a line of text", {CW_MINIMAL_WINDOW, "--text"});
    Watched overlay("cueview", {cueviewBinary()});
    const std::vector<Watched*> all{&minimal, &text, &overlay};
    bool alive = true;
    for (Watched* w : all) {
        w->pid = spawn(w->argv, options);
        alive = alive && w->pid > 0;
    }
    const auto cleanUp = [&] {
        for (Watched* w : all)
            stop(w->pid);
    };
    if (!alive) {
        std::fprintf(stderr, "could not start the programs\n");
        cleanUp();
        return 1;
    }

    // Start-up is not idling: the launch, the first polls and the update check settle first.
    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
    for (Watched* w : all) {
        const std::optional<long long> ticks = cpuTicks(w->pid);
        alive = alive && ticks;
        w->ticksAtStart = ticks.value_or(0);
    }
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (auto next = start + 1s; alive && Clock::now() < end; next += 1s) {
        std::this_thread::sleep_until(std::min(next, end));
        for (Watched* w : all) {
            const std::optional<long long> rss = rssKiB(w->pid);
            alive = alive && rss;
            if (rss)
                w->rssMiB.push_back(double(*rss) / 1024);
        }
    }
    for (Watched* w : all) {
        const std::optional<long long> ticks = cpuTicks(w->pid);
        alive = alive && ticks;
        w->ticksAtEnd = ticks.value_or(0);
        w->privateMiB = double(privateKiB(w->pid).value_or(0)) / 1024;
        w->mappings = rssByMapping(w->pid);
    }
    const double measured = std::chrono::duration<double>(Clock::now() - start).count();
    const int children = childCount(overlay.pid);
    const double window = std::min(measured, 55.0);
    const int polls = connectionsClosedWithin(engine.port(), window);
    const bool engineAlive = !waitExit(engine.pid(), 0);
    cleanUp();
    if (!alive) {
        std::fprintf(stderr, "a program ended during the run\n");
        return 1;
    }

    std::printf("Idle cost over %.0f s after %.0f s of warm-up, %s\n", measured, warmup,
                offscreen ? "offscreen" : "Xvfb");
    for (const Watched* w : all) {
        std::printf("  %-31s CPU %6.3f %% of a core (%4.0f ms a minute)   RSS median %5.1f MiB, peak %5.1f MiB, "
                    "private %4.1f MiB\n",
                    w->name, w->cpuPercent(measured), w->cpuPercent(measured) * 600, median(w->rssMiB),
                    maximum(w->rssMiB), w->privateMiB);
    }
    std::printf("  where the RSS lies at the end (MiB)     minimal   +text  cueview  cueview-minimal\n");
    const std::map<std::string, double> m = grouped(minimal.mappings), t = grouped(text.mappings),
                                        c = grouped(overlay.mappings);
    for (const auto& [name, pattern] : groups()) {
        const auto at = [name = std::string(name)](const std::map<std::string, double>& g) {
            const auto it = g.find(name);
            return it == g.end() ? 0.0 : it->second;
        };
        std::printf("    %-38s %6.1f  %6.1f  %7.1f  %+7.1f\n", name, at(m), at(t), at(c), at(c) - at(m));
    }
    std::printf("  cueview: %d child process(es); engine %s; %d polls answered in the last %.0f s "
                "(one per 2 s expected: %.0f)\n",
                children, engineAlive ? "still up" : "GONE", polls, window, window / 2);
    const double ratio = median(overlay.rssMiB) / median(minimal.rssMiB);
    verdict(overlay.cpuPercent(measured) < 0.5,
            format("cueview CPU %.3f %% of one core (target < 0.5 %%)", overlay.cpuPercent(measured)));
    verdict(ratio <= 1.3, format("cueview RSS %.1f MiB = %.2f × the minimal window's %.1f MiB (target ≤ 1.30×)",
                                 median(overlay.rssMiB), ratio, median(minimal.rssMiB)));
    std::printf("        (beside the window with a line of text: %.2f×)\n",
                median(overlay.rssMiB) / median(text.rssMiB));
    if (children != 0 || !engineAlive || polls < int(window / 2) - 2)
        std::printf("  note: the run was not a clean idle run (see above)\n");
    return 0;
}
