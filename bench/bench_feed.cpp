// The feed path, one poll's worth of work on the main thread, for feeds of 10, 200 and 20,000 picks:
//   Decode        the body to a JSON object (decodeFeed), alone;
//   ApplyRender   apply + render of an already decoded document (what the panel adds to decoding);
//   Path          decode + apply + render, as a good poll runs them;
//   Painted       Path, then the panel's repaint (informational: painting covers eight rows, whatever
//                 the feed's size).
// Consecutive iterations alternate between two documents that differ in the track now playing and in the
// order of the picks, so every label really changes, as it does when the DJ moves on.
//
// The panel is the real one, built by AppDelegate::build on the offscreen platform. Google Benchmark
// flags work as usual; without --benchmark_repetitions each benchmark runs 5 times and the summary
// uses the medians of their CPU times.
//
// Targets: at 200 picks ApplyRender costs no more than Decode; Path grows linearly with the feed
// (20,000 picks cost at most 1.5 × 100 times 200 picks, and 200 picks at most 1.5 × 20 times 10).

#include "BenchSupport.h"

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "feed/FeedReader.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace {

using cw::bench::format;

struct Feed {
    QByteArray bytes[2];
    QJsonObject documents[2];
};

// One pick shaped like the engine's: every key it sends, with the variety of a real crate.
QJsonObject pick(int i, bool banger) {
    static const char* const keys[] = {"8A", "9A", "7A", "8B", "3A", "10A", "5B", "11B", "1A", "12B"};
    static const char* const fresh[] = {"", "never", "rested", "rested_long", "overplayed"};
    static const char* const cats[] = {"groove", "peak", "vocal"};
    const QString artist = QStringLiteral("Artist %1").arg(i % 997);
    const QString title = QStringLiteral("Track number %1 (Extended Mix)").arg(i);
    QJsonObject p{
        {"title", artist + QStringLiteral(" – ") + title},
        {"key", keys[i % 10]},
        {"bpm", 118 + i % 13},
        {"path", QStringLiteral("/Users/dj/Music/Crate %1/%2 - %3.mp3").arg(i % 40).arg(artist, title)},
        {"cat", cats[i % 3]},
    };
    if (banger || i % 3 == 0)
        p.insert("proven", banger ? 5 + i % 20 : 1 + i % 6);
    if (i % 2 == 0)
        p.insert("harmonic", true);
    if (i % 17 == 1) {
        p.insert("prep", true);
        p.insert("fitnow", i % 2 == 1);
    }
    if (const char* state = fresh[i % 5]; *state) {
        p.insert("fresh", state);
        p.insert("rest", 6 + (i * 37) % 900);
    }
    if (i % 7 == 0)
        p.insert("src", i % 2 ? "history" : "crate");
    return p;
}

// A feed of n picks in all: four fifths to play next, the rest bangers and fresh picks (at least one each).
QJsonObject document(int n, int variant) {
    const int fresh = std::max(1, n / 20);
    const int bangers = std::max(1, n * 3 / 20);
    const int next = n - fresh - bangers;
    QJsonArray nextList, freshList, bangerList;
    for (int i = 0; i < next; ++i)
        nextList.append(pick((i + variant) % next, false)); // variant 1 rotates the list by one
    for (int i = 0; i < fresh; ++i) {
        QJsonObject p = pick(next + i, false);
        p.insert("reason", "new in crate · harmonic");
        freshList.append(p);
    }
    for (int i = 0; i < bangers; ++i)
        bangerList.append(pick(next + fresh + i, true));
    return QJsonObject{
        {"ok", true},
        {"played", 23 + variant},
        {"rut", variant ? 0.31 : 0.52},
        {"now", QJsonObject{{"path", QStringLiteral("/Users/dj/Music/House/Now %1.mp3").arg(variant)},
                            {"title", QStringLiteral("Marlowe Vance – Glasshouse %1").arg(variant)},
                            {"key", variant ? "8A" : "9A"},
                            {"bpm", 124 + variant}}},
        {"cats",
         QJsonArray{QJsonObject{{"id", "groove"}, {"label", "Groove"}}, QJsonObject{{"id", "peak"}, {"label", "Peak"}},
                    QJsonObject{{"id", "vocal"}, {"label", "Vocal"}}}},
        {"next", nextList},
        {"fresh", freshList},
        {"bangers", bangerList},
    };
}

const Feed& feed(int n) {
    static std::map<int, std::unique_ptr<Feed>> feeds;
    std::unique_ptr<Feed>& slot = feeds[n];
    if (!slot) {
        slot = std::make_unique<Feed>();
        for (int v = 0; v < 2; ++v) {
            // Compact, as the engine sends it.
            slot->bytes[v] = QJsonDocument(document(n, v)).toJson(QJsonDocument::Compact);
            slot->documents[v] = cw::decodeFeed(slot->bytes[v]).value();
        }
    }
    return *slot;
}

cw::AppDelegate* g_delegate = nullptr;

void setBytes(benchmark::State& state, const Feed& f) {
    state.SetBytesProcessed(state.iterations() * f.bytes[0].size());
    state.counters["picks"] = double(state.range(0));
}

void Decode(benchmark::State& state) {
    const Feed& f = feed(int(state.range(0)));
    unsigned i = 0;
    for (auto _ : state) {
        std::optional<QJsonObject> document = cw::decodeFeed(f.bytes[i++ & 1]);
        benchmark::DoNotOptimize(document);
    }
    setBytes(state, f);
}

void ApplyRender(benchmark::State& state) {
    const Feed& f = feed(int(state.range(0)));
    unsigned i = 0;
    for (auto _ : state)
        g_delegate->apply(f.documents[i++ & 1]);
    setBytes(state, f);
}

void Path(benchmark::State& state) {
    const Feed& f = feed(int(state.range(0)));
    unsigned i = 0;
    for (auto _ : state) {
        if (std::optional<QJsonObject> document = cw::decodeFeed(f.bytes[i++ & 1]))
            g_delegate->apply(*document);
    }
    setBytes(state, f);
}

void Painted(benchmark::State& state) {
    const Feed& f = feed(int(state.range(0)));
    unsigned i = 0;
    for (auto _ : state) {
        if (std::optional<QJsonObject> document = cw::decodeFeed(f.bytes[i++ & 1]))
            g_delegate->apply(*document);
        g_delegate->panel()->window()->repaint();
    }
    setBytes(state, f);
}

constexpr int kSizes[] = {10, 200, 20000};
const char* const kNames[] = {"Decode", "ApplyRender", "Path", "Painted"};

// Keeps every iteration run's CPU time, by name, so the summary can take medians over the repetitions.
// CPU time, not wall time: all of it is on this one thread, and on a busy machine the wall time also
// counts the time other processes held the core.
class Collector : public benchmark::ConsoleReporter {
public:
    explicit Collector(OutputOptions options) : ConsoleReporter(options) {}
    std::map<std::string, std::vector<double>> ns;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            ns[run.run_name.function_name + "/" + run.run_name.args].push_back(run.GetAdjustedCPUTime() * toNs);
        }
    }
};

std::string human(double ns) {
    return format("%.1f µs", ns / 1e3);
}

int summarize(const Collector& collected) {
    std::map<std::string, double> t;
    for (const auto& [name, samples] : collected.ns)
        t[name] = cw::bench::median(samples);
    const auto at = [&t](const char* name, int n) {
        const auto it = t.find(format("%s/%d", name, n));
        return it == t.end() ? -1.0 : it->second;
    };

    std::printf("\nFeed path, CPU time per poll (median of the repetitions)\n");
    std::printf("  %-7s %-9s", "picks", "bytes");
    for (const char* name : kNames)
        std::printf(" %12s", name);
    std::printf("   ApplyRender/Decode\n");
    for (int n : kSizes) {
        std::printf("  %-7d %-9lld", n, static_cast<long long>(feed(n).bytes[0].size()));
        for (const char* name : kNames)
            std::printf(" %9.1f µs", at(name, n) / 1e3);
        if (at("ApplyRender", n) > 0 && at("Decode", n) > 0)
            std::printf("   %.2f×", at("ApplyRender", n) / at("Decode", n));
        std::printf("\n");
    }
    std::printf("\n");

    int misses = 0;
    if (at("ApplyRender", 200) > 0 && at("Decode", 200) > 0) {
        const double ratio = at("ApplyRender", 200) / at("Decode", 200);
        misses += !cw::bench::verdict(
            ratio <= 1.0, format("200 picks: apply + render %s = %.2f × decoding %s (target ≤ 1.00×)",
                                 human(at("ApplyRender", 200)).c_str(), ratio, human(at("Decode", 200)).c_str()));
    }
    if (at("Path", 10) > 0 && at("Path", 200) > 0 && at("Path", 20000) > 0) {
        const double small = at("Path", 200) / at("Path", 10);
        const double large = at("Path", 20000) / at("Path", 200);
        misses += !cw::bench::verdict(
            small <= 1.5 * 20, format("10 → 200 picks (20× the feed): the path costs %.1f× (linear: ≤ 30×)", small));
        misses += !cw::bench::verdict(
            large <= 1.5 * 100,
            format("200 → 20,000 picks (100× the feed): the path costs %.1f× (linear: ≤ 150×)", large));
        std::printf("        per pick: %.0f ns at 10, %.0f ns at 200, %.0f ns at 20,000\n", at("Path", 10) / 10,
                    at("Path", 200) / 200, at("Path", 20000) / 20000);
    }
    return misses;
}

} // namespace

BENCHMARK(Decode)->Arg(10)->Arg(200)->Arg(20000);
BENCHMARK(ApplyRender)->Arg(10)->Arg(200)->Arg(20000);
BENCHMARK(Path)->Arg(10)->Arg(200)->Arg(20000);
BENCHMARK(Painted)->Arg(10)->Arg(200)->Arg(20000);

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    cw::bench::TempDir home;
    if (!std::getenv("XDG_RUNTIME_DIR"))
        ::setenv("XDG_RUNTIME_DIR", home.path().c_str(), 1);

    // Five repetitions unless told otherwise: the summary takes their medians.
    std::vector<char*> args(argv, argv + argc);
    bool repetitions = false;
    for (int i = 1; i < argc; ++i)
        repetitions = repetitions || std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
    static char defaultRepetitions[] = "--benchmark_repetitions=5";
    if (!repetitions)
        args.push_back(defaultRepetitions);
    int count = int(args.size());
    args.push_back(nullptr);

    QApplication app(argc, argv);
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), QString::fromStdString(cw::bench::python()));
    cw::installSettings(cw::computeSettings(cw::StartupInputs{QString::fromStdString(cw::bench::bundleAppDir()),
                                                              QString::fromStdString(home.path()),
                                                              env,
                                                              {QStringLiteral("en-US")}}));
    cw::AppDelegate delegate;
    delegate.build();
    QCoreApplication::processEvents();
    g_delegate = &delegate;

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;
    Collector collector(::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    summarize(collector);
    return 0;
}
