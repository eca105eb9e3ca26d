// Growth: does the overlay keep what it takes? The real controller (AppDelegate, launched as cueview
// launches it, panel and all) polls a local feed server thousands of times at a short interval; the
// product polls every 2.0 s, and AppDelegate::setPollInterval is the one knob changed here. The server
// answers tests/data/feeds/realistic.json and a second version of it in turn (another track playing,
// the picks in another order), so every poll applies and renders a changed document.
//
// After a warm-up (allocator pools, font caches, the update check) it takes the process's RSS, live heap,
// open file descriptors and child processes, and again after the measured polls.
//
// Usage: bench_growth [--polls N (default 5000)] [--interval MS (default 4)] [--warmup N (default 300)]
// Targets: RSS growth under 2 MiB, no descriptor growth, no child-process growth.

#include "BenchSupport.h"

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "support/Support.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QTimer>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

using namespace cw::bench;

namespace {

struct Sample {
    std::map<int, std::string> fdTargets;
    long long cpuTicks = 0;
    double rssMiB = 0;
    double heapMiB = -1; // bytes the allocator has handed out and not had back, all arenas; -1 unknown
    int fds = 0;
    int children = 0;
};

Sample sample() {
    const pid_t self = ::getpid();
    Sample s{fdTargets(self), cpuTicks(self).value_or(0), double(rssKiB(self).value_or(0)) / 1024, -1, fdCount(self),
             childCount(self)};
#if defined(__GLIBC__)
    const struct mallinfo2 info = ::mallinfo2();
    s.heapMiB = double(info.uordblks + info.hblkhd) / (1024 * 1024);
#endif
    return s;
}

// The realistic feed with another track playing and its picks rotated by one.
QByteArray variant(const QByteArray& realistic) {
    QJsonObject document = QJsonDocument::fromJson(realistic).object();
    QJsonObject now = document.value("now").toObject();
    now.insert("path", now.value("path").toString() + QStringLiteral(".next"));
    now.insert("title", now.value("title").toString() + QStringLiteral(" (Reprise)"));
    document.insert("now", now);
    for (const char* key : {"next", "bangers"}) {
        QJsonArray list = document.value(key).toArray();
        if (!list.isEmpty()) {
            const QJsonValue first = list.first();
            list.removeFirst();
            list.append(first);
        }
        document.insert(key, list);
    }
    document.insert("rut", 0.52);
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

} // namespace

int main(int argc, char** argv) {
    int polls = 5000; // at least 20, so the two ends do not overlap
    int interval = 4;
    int warmup = 300;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--polls") == 0 && i + 1 < argc)
            polls = std::max(20, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--interval") == 0 && i + 1 < argc)
            interval = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--warmup") == 0 && i + 1 < argc)
            warmup = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--polls N] [--interval MS] [--warmup N]\n", argv[0]);
            return 2;
        }
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // A resource directory of our own: the real brand and update script, but no engine script, so even
    // a recovery (which a healthy run never reaches) would start nothing that lives on. Every child
    // inherits the throw-away HOME.
    TempDir root;
    const QString app = QString::fromStdString(root.path()) + QStringLiteral("/app");
    const QString home = QString::fromStdString(root.path()) + QStringLiteral("/home");
    QDir().mkpath(app);
    QDir().mkpath(home);
    for (const char* name : {"brand.py", "brand.png", "update_check.py"})
        QFile::copy(QString::fromStdString(bundleAppDir()) + u'/' + QLatin1String(name),
                    app + u'/' + QLatin1String(name));
    ::setenv("HOME", home.toLocal8Bit().constData(), 1);
    if (!std::getenv("XDG_RUNTIME_DIR"))
        ::setenv("XDG_RUNTIME_DIR", root.path().c_str(), 1);

    QFile realisticFile(QString::fromStdString(sourceDir()) + QStringLiteral("/tests/data/feeds/realistic.json"));
    if (!realisticFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(realisticFile.fileName()));
        return 1;
    }
    const QByteArray realistic = realisticFile.readAll();
    QApplication application(argc, argv);
    // The tests' feed server, in a process of its own, answering the two versions in turn.
    cw::test::FeedServer server({200, {}, "respond", {}, -1, 0.1, {QString::fromUtf8(realistic), QString::fromUtf8(variant(realistic))}});
    if (server.port() == 0) {
        std::fprintf(stderr, "the feed server did not start\n");
        return 1;
    }

    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), QString::fromStdString(python()));
    cw::installSettings(cw::computeSettings(cw::StartupInputs{app, home, env, {QStringLiteral("en-US")}}));
    QFile port(cw::settings().SUPPORT + QStringLiteral("/port"));
    if (!port.open(QIODevice::WriteOnly) || port.write(QByteArray::number(server.port())) <= 0) {
        std::fprintf(stderr, "cannot write the port file\n");
        return 1;
    }
    port.close();

    auto* delegate = new cw::AppDelegate;
    delegate->setPollInterval(interval);
    int done = 0, good = 0, recoveries = 0;
    Sample before, after;
    std::vector<std::pair<int, double>> trace;
    const auto started = Clock::now();
    auto measuredFrom = started;
    QObject::connect(delegate, &cw::AppDelegate::recovered, [&recoveries] { ++recoveries; });
    // At any one moment a poll may be under way, its socket open: descriptors and children (the feed
    // server is one) are read at the ends of ten polls in a row and the fewest taken, the steady state.
    constexpr int kSpan = 10;
    const auto fewest = [](Sample& kept, const Sample& now) {
        if (now.fds < kept.fds) {
            kept.fds = now.fds;
            kept.fdTargets = now.fdTargets;
        }
        kept.children = std::min(kept.children, now.children);
    };
    QObject::connect(delegate, &cw::AppDelegate::pollFinished, [&](bool ok) {
        ++done;
        good += ok;
        if (done == warmup) {
            before = sample();
            measuredFrom = Clock::now();
            trace.emplace_back(0, before.rssMiB);
        } else if (done > warmup && done < warmup + kSpan) {
            fewest(before, sample());
        }
        if (done > warmup && (done - warmup) % 500 == 0)
            trace.emplace_back(done - warmup, sample().rssMiB);
        if (done == warmup + polls - kSpan) {
            after = sample();
        } else if (done > warmup + polls - kSpan) {
            const Sample now = sample();
            fewest(after, now);
            after.rssMiB = now.rssMiB;
            after.heapMiB = now.heapMiB;
            after.cpuTicks = now.cpuTicks;
        }
        if (done == warmup + polls)
            QCoreApplication::quit();
    });
    // A run that stalls must still end: ten times the expected time, and at least a minute.
    QTimer::singleShot(std::max(60000, 10 * (warmup + polls) * interval), &application, [] {
        std::fprintf(stderr, "the polls did not finish in time\n");
        QCoreApplication::exit(1);
    });
    QTimer::singleShot(0, delegate, [delegate] { delegate->applicationDidFinishLaunching(); });
    const int status = application.exec();
    delegate->applicationWillTerminate();
    // Like cueview: end without tearing down the panel and the network threads, so the throw-away tree
    // goes by hand.
    const auto end = [&root](int code) {
        std::fflush(nullptr);
        std::error_code error;
        std::filesystem::remove_all(root.path(), error);
        std::_Exit(code);
    };
    if (status != 0)
        end(status);

    const double seconds = std::chrono::duration<double>(Clock::now() - measuredFrom).count();
    std::printf("Growth over %d polls (after %d to warm up), interval %d ms, %.1f s, %.2f ms per poll\n", polls, warmup,
                interval, seconds, 1000 * seconds / polls);
    std::printf("  polls judged good: %d of %d; recoveries: %d; requests served: %d\n", good, done, recoveries,
                server.requests());
    // The whole process: the controller, the panel's repaints and the network thread.
    std::printf("  CPU time: %.3f ms per poll\n",
                1000.0 * double(after.cpuTicks - before.cpuTicks) / double(ticksPerSecond()) / polls);
    std::printf("  RSS MiB by polls:");
    for (const auto& [n, rss] : trace)
        std::printf(" %d:%.2f", n, rss);
    std::printf("\n");
    std::printf(
        "  before: RSS %.2f MiB, %d descriptors, %d children; after: RSS %.2f MiB, %d descriptors, %d children\n",
        before.rssMiB, before.fds, before.children, after.rssMiB, after.fds, after.children);
    // RSS can step up once when the allocator takes a new region and keep it; a leak grows the live heap.
    if (before.heapMiB >= 0)
        std::printf("  live heap (malloc): %.2f MiB before, %.2f MiB after (%+.3f MiB)\n", before.heapMiB,
                    after.heapMiB, after.heapMiB - before.heapMiB);
    const double growth = after.rssMiB - before.rssMiB;
    verdict(growth < 2.0, format("RSS growth %+.2f MiB over %d polls (target < 2 MiB)", growth, polls));
    verdict(after.fds <= before.fds, format("descriptors %d → %d (target: no growth)", before.fds, after.fds));
    for (const auto& [fd, target] : after.fdTargets) {
        const auto it = before.fdTargets.find(fd);
        if (it == before.fdTargets.end() || it->second != target)
            std::printf("        new descriptor %d: %s\n", fd, target.c_str());
    }
    verdict(after.children <= before.children,
            format("child processes %d → %d (target: no growth)", before.children, after.children));
    if (good != done)
        std::printf("  note: %d polls failed; a healthy run has none (is the interval too short for this machine?)\n",
                    done - good);
    end(0);
}
