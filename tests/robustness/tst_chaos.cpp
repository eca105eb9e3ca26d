// The panel against a chaotic engine: real engine processes (tests/data/chaos_engine.py, started by the
// controller through a fake interpreter) that, cycle after cycle, answer, die, hang, send garbage, answer
// slowly, close mid-body or redirect elsewhere, on 127.0.0.1, with a short poll interval.
//
// Throughout the run: the main loop never stalls longer than a ping may hold it; no child stays a zombie;
// no redirect is followed; every poll is judged once. The engines alive at any moment are bounded by the
// rules: the one the controller holds (pyProc) plus those that recover() asked to terminate and that have
// not exited yet; an engine alive that is neither is a leak. (The second set stays small only because an
// engine honours the request: ours within a second.) After quitting: no engine it started is left, and
// nothing is left unreaped.

#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/HttpTestServer.h"
#include "support/Probe.h"
#include "support/TestTree.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace cw;
using namespace cw::test;

namespace {

const QString kChaosEngine = QStringLiteral(CW_TEST_DATA_DIR "/chaos_engine.py");

// How long the chaos runs, and how often the controller polls meanwhile (the product polls every 2 s).
constexpr int kRunMs = 24000;
constexpr int kPollMs = 150;
// A ping holds the main loop for up to 1.0 s; allow for a loaded machine and sanitizer builds.
constexpr qint64 kMaxStallMs = 1500;
// From the termination request to the log line, and from a child's exit to its reaping: the main loop may
// be inside a ping for 1 s and the machine busy.
constexpr qint64 kGraceMs = 2500;

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Children of this process that have exited and not been reaped.
QSet<qint64> zombieChildren() {
    QSet<qint64> zombies;
    const qint64 self = ::getpid();
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(0) == "Z" && fields.at(1).toLongLong() == self)
            zombies.insert(pid);
    }
    return zombies;
}

// The engines one run has started, from the start lines they log, and what they report.
class ChaosLog {
public:
    ChaosLog(const QString& dir, const QString& script) : m_dir(dir), m_script(script) {}

    QList<qint64> started() const {
        QList<qint64> pids;
        for (const QString& name : QDir(m_dir).entryList({QStringLiteral("*.start")}, QDir::Files))
            pids.append(name.section(u'.', 0, 0).toLongLong());
        return pids;
    }
    QList<qint64> alive() const {
        QList<qint64> pids;
        for (qint64 pid : started()) {
            if (processRuns(pid, m_script))
                pids.append(pid);
        }
        return pids;
    }
    bool askedToStop(qint64 pid) const {
        return readAll(QStringLiteral("%1/%2.signals").arg(m_dir).arg(pid)).contains("TERM");
    }
    // How often each action was served, over every generation.
    QHash<QString, int> actions() const {
        QHash<QString, int> counts;
        for (const QByteArray& line : readAll(m_dir + QStringLiteral("/served")).split('\n')) {
            const QList<QByteArray> parts = line.split(' ');
            if (parts.size() == 2)
                ++counts[QString::fromLatin1(parts.at(1))];
        }
        return counts;
    }
    // SIGKILL to every engine of this run still alive; for a test that failed half-way.
    void killAll() const {
        for (qint64 pid : alive())
            ::kill(pid_t(pid), SIGKILL);
    }

private:
    QString m_dir;
    QString m_script;
};

// Watches the controller from inside its own main loop: stalls between ticks, engines alive that it
// neither holds nor asked to stop, and zombies left standing.
class Watch : public QObject {
public:
    Watch(const AppDelegate& d, const ChaosLog& log) : m_d(d), m_log(log) {
        m_sinceTick.start();
        m_clock.start();
        connect(&m_tick, &QTimer::timeout, this, [this] { tick(); });
        m_tick.setTimerType(Qt::PreciseTimer);
        m_tick.start(10);
        connect(&m_sample, &QTimer::timeout, this, [this] { sample(); });
        m_sample.start(100);
        // Every poll ends once, however it ends: a reply that finished twice would be judged twice.
        if (const auto* net = d.findChild<QNetworkAccessManager*>()) {
            connect(net, &QNetworkAccessManager::finished, this, [this](QNetworkReply* reply) {
                if (m_finished.contains(reply))
                    note(QStringLiteral("a poll's reply finished twice"));
                m_finished.insert(reply);
                connect(reply, &QObject::destroyed, this, [this, reply] { m_finished.remove(reply); });
                ++repliesFinished;
            });
        }
    }

    qint64 maxStallMs = 0;
    int maxAlive = 0;
    int repliesFinished = 0;
    QStringList violations;

private:
    void tick() { maxStallMs = std::max(maxStallMs, m_sinceTick.restart()); }

    void sample() {
        const qint64 now = m_clock.elapsed();
        const qint64 current = m_d.pyProc ? m_d.pyProc->pid() : 0;
        const QList<qint64> alive = m_log.alive();
        maxAlive = std::max(maxAlive, int(alive.size()));
        for (qint64 pid : alive) {
            if (pid == current) {
                m_replacedAt.remove(pid);
                continue;
            }
            // No longer the held engine: from now on it must have been asked to stop.
            const qint64 since = m_replacedAt.value(pid, -1);
            if (since < 0)
                m_replacedAt.insert(pid, now);
            else if (now - since > kGraceMs && !m_log.askedToStop(pid))
                note(QStringLiteral("engine %1 alive %2 ms after it was replaced, never asked to stop")
                         .arg(pid)
                         .arg(now - since));
        }
        const QSet<qint64> zombies = zombieChildren();
        for (qint64 pid : zombies) {
            const qint64 since = m_zombieSince.value(pid, -1);
            if (since < 0)
                m_zombieSince.insert(pid, now);
            else if (now - since > kGraceMs)
                note(QStringLiteral("child %1 a zombie for %2 ms").arg(pid).arg(now - since));
        }
        for (auto it = m_zombieSince.begin(); it != m_zombieSince.end();)
            it = zombies.contains(it.key()) ? std::next(it) : m_zombieSince.erase(it);
    }

    void note(const QString& violation) {
        if (!violations.contains(violation) && violations.size() < 20)
            violations.append(violation);
    }

    const AppDelegate& m_d;
    const ChaosLog& m_log;
    QTimer m_tick;
    QTimer m_sample;
    QElapsedTimer m_sinceTick;
    QElapsedTimer m_clock;
    QHash<qint64, qint64> m_replacedAt;
    QHash<qint64, qint64> m_zombieSince;
    // Replies that finished and still exist (their addresses are reused once they are deleted).
    QSet<const QNetworkReply*> m_finished;
};

} // namespace

class TestChaos : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void panelSurvivesAChaoticEngine();
};

void TestChaos::initTestCase() {
    QVERIFY(QFileInfo(kChaosEngine).isFile());
    QVERIFY(!pythonPath().isEmpty());
}

void TestChaos::panelSurvivesAChaoticEngine() {
    TestTree tree;
    ProbeLog logDir; // its log directory and fake interpreter; the engines are our own
    const QString script = tree.appDir() + QStringLiteral("/live_next.py");
    QVERIFY(QFile::copy(kChaosEngine, script));
    const QString support = tree.home() + QStringLiteral("/Library/Application Support/Crate Warden");
    HttpTestServer elsewhere;
    elsewhere.respond(200, R"({"ok": true, "now": {"title": "followed a redirect"}})");
    const quint16 preferred = HttpTestServer::unusedPort();
    const QString interpreter = logDir.installInterpreter(
        tree.root() + QStringLiteral("/bin/python3"),
        {{QStringLiteral("CW_CHAOS_SUPPORT"), support},
         {QStringLiteral("CW_CHAOS_PORT"), QString::number(preferred)},
         {QStringLiteral("CW_CHAOS_ELSEWHERE"), QStringLiteral("http://127.0.0.1:%1/json").arg(elsewhere.port())}});
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), interpreter);
    env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("en"));
    tree.install(env);
    // Until the first engine publishes its port, the feed address points where nothing answers (never at
    // the default port, where some other engine on this machine may be serving).
    tree.write(support + QStringLiteral("/port"), QByteArray::number(preferred));

    ChaosLog log(logDir.dir(), script);
    const auto cleanup = qScopeGuard([&log] { log.killAll(); });

    {
        AppDelegate d;
        d.pollIntervalMs = kPollMs;
        QSignalSpy polls(&d, &AppDelegate::pollFinished);
        QSignalSpy recoveries(&d, &AppDelegate::recovered);
        Watch watch(d, log);

        d.applicationDidFinishLaunching();
        QTest::qWait(kRunMs);

        int good = 0;
        for (const QList<QVariant>& poll : std::as_const(polls))
            good += poll.at(0).toBool();
        const QHash<QString, int> served = log.actions();
        qInfo("%d engines, %d polls (%d good), %d recoveries, at most %d engines alive, longest stall %lld ms",
              int(log.started().size()), int(polls.size()), good, int(recoveries.size()), watch.maxAlive,
              watch.maxStallMs);
        QVERIFY2(watch.violations.isEmpty(), qPrintable(watch.violations.join(u'\n')));
        QVERIFY2(watch.maxStallMs <= kMaxStallMs, qPrintable(QStringLiteral("%1 ms").arg(watch.maxStallMs)));
        QCOMPARE(elsewhere.requestCount(), 0);
        QCOMPARE(int(polls.size()), watch.repliesFinished);

        // The chaos happened: every kind of mischief was met, and the panel kept recovering and applying.
        for (const char* kind :
             {"good", "garbage", "slow", "midbody", "redirect", "array", "trickle", "error", "die", "hang"})
            QVERIFY2(served.value(QLatin1String(kind)) > 0, kind);
        QVERIFY(log.started().size() >= 4);
        QVERIFY(recoveries.size() >= 3);
        QVERIFY(good >= 10);
        QVERIFY(polls.size() - good >= 10);

        // Quitting asks the held engine to stop; every engine started must then be gone, and reaped.
        d.applicationWillTerminate();
        QTRY_VERIFY2_WITH_TIMEOUT(log.alive().isEmpty(), "an engine outlived the panel", 10000);
        QTRY_VERIFY_WITH_TIMEOUT(zombieChildren().isEmpty(), 5000);
        QVERIFY2(watch.violations.isEmpty(), qPrintable(watch.violations.join(u'\n')));
    }
}

QTEST_MAIN(TestChaos)
#include "tst_chaos.moc"
