// Start-up: from starting the process to its window's first paint, for the overlay and for a minimal
// Qt Widgets window, run alternately the same way: in the application resource directory, with a
// throw-away HOME, on a private Xvfb (or offscreen), with the bundled demo engine already serving the
// feed (so the overlay's launch ping answers at once and it starts no engine of its own).
//
// The overlay side is bench_panel_start, which runs cueview's start-up code unchanged; the minimal side
// is bench_minimal_window (and, for information, the same with one line of text in it). Each reports its
// first paint as CLOCK_MONOTONIC and its CPU time so far (FirstPaint.h); this program takes the time from
// the moment just before it started them.
//
// Usage: bench_startup [--rounds N (default 10)] [--offscreen]
// Target: the overlay's median within 1.5 × the minimal window's.

#include "BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace cw::bench;

namespace {

struct Run {
    double wallMs = -1; // from just before the start to the first paint; negative when the run failed
    double cpuMs = -1;  // the process's CPU time up to the first paint, all its threads
};

Run startToFirstPaint(const std::vector<std::string>& argv, const SpawnOptions& options) {
    const long long started = monotonicNs();
    int status = 0;
    const std::optional<std::string> out = capture(argv, options, 30000, &status);
    Run run;
    const size_t at = out ? out->find("first-paint ") : std::string::npos;
    if (at == std::string::npos) {
        std::fprintf(stderr, "%s did not report its first paint (exit status %d)\n", argv[0].c_str(), status);
        return run;
    }
    char* end = nullptr;
    const long long painted = std::strtoll(out->c_str() + at + 12, &end, 10);
    run.wallMs = double(painted - started) / 1e6;
    run.cpuMs = double(std::strtoll(end, nullptr, 10)) / 1e3;
    return run;
}

void print(const char* name, const std::vector<double>& ms) {
    std::printf("  %-28s median %7.1f ms   min %7.1f ms   max %7.1f ms\n", name, median(ms), minimum(ms), maximum(ms));
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 10;
    bool offscreen = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--offscreen") == 0)
            offscreen = true;
        else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--offscreen]\n", argv[0]);
            return 2;
        }
    }

    OverlayRig rig;
    if (!rig.start(offscreen))
        return 1;
    offscreen = rig.offscreen;
    const SpawnOptions& options = rig.options;
    const std::vector<std::string> panel{CW_PANEL_START};
    const std::vector<std::string> minimal{CW_MINIMAL_WINDOW, "--first-paint"};
    // For information: the minimal window with one line of text, which pays for fonts and shaping too.
    const std::vector<std::string> text{CW_MINIMAL_WINDOW, "--first-paint", "--text"};

    std::vector<double> panelMs, minimalMs, ratios, panelCpu, minimalCpu, textMs, textCpu;
    constexpr int kWarmUp = 2; // the first runs fill the page cache and the font caches
    for (int round = 0; round < rounds + kWarmUp; ++round) {
        // Alternate which one goes first, so neither always inherits the other's warm caches.
        // A run that fails is tried once more (and said so on standard error); a second failure ends the
        // benchmark.
        const auto measure = [&](const std::vector<std::string>& argv) {
            const Run run = startToFirstPaint(argv, options);
            return run.wallMs >= 0 ? run : startToFirstPaint(argv, options);
        };
        Run p, m;
        if (round % 2) {
            p = measure(panel);
            m = measure(minimal);
        } else {
            m = measure(minimal);
            p = measure(panel);
        }
        const Run t = measure(text);
        if (p.wallMs < 0 || m.wallMs < 0 || t.wallMs < 0)
            return 1;
        if (round >= kWarmUp) {
            panelMs.push_back(p.wallMs);
            minimalMs.push_back(m.wallMs);
            ratios.push_back(p.wallMs / m.wallMs);
            panelCpu.push_back(p.cpuMs);
            minimalCpu.push_back(m.cpuMs);
            textMs.push_back(t.wallMs);
            textCpu.push_back(t.cpuMs);
        }
    }

    std::printf("Start-up to first paint, %d rounds, %s\n", rounds, offscreen ? "offscreen" : "Xvfb");
    print("minimal Qt Widgets window", minimalMs);
    print("  the same with a line of text", textMs);
    print("overlay panel (cueview)", panelMs);
    const double ratio = median(panelMs) / median(minimalMs);
    std::printf("  overlay - minimal: %+.1f ms; median of the per-round ratios %.2f×\n",
                median(panelMs) - median(minimalMs), median(ratios));
    std::printf(
        "  CPU time to first paint (all threads): minimal %.1f ms, with text %.1f ms, overlay %.1f ms (%.2f×)\n",
        median(minimalCpu), median(textCpu), median(panelCpu), median(panelCpu) / median(minimalCpu));
    verdict(ratio <= 1.5, format("overlay %.1f ms = %.2f × the minimal window's %.1f ms (target ≤ 1.50×)",
                                 median(panelMs), ratio, median(minimalMs)));
    return 0;
}
