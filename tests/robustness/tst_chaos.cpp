// The controller against a chaotic engine: real engine processes (probe_engine.py in chaos mode, started
// by the controller as it starts the engine) that, request after request, answer, die, hang, send
// garbage, answer slowly, trickle, break off mid-body or redirect elsewhere, with a short poll interval.
//
// Throughout the run: the main loop never stalls longer than a ping may hold it; no child stays a zombie;
// no redirect is followed; every poll is judged once; an engine alive is the one the controller holds or
// one that recover() asked to stop. After quitting no engine it started is left, and nothing unreaped.

#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/Support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace cw;
using namespace cw::test;

namespace {

constexpr int kRunMs = 24000;
constexpr int kPollMs = 150; // the product polls every 2 s
// A ping holds the main loop for up to 1.0 s; allow for a loaded machine and sanitizer builds. The same
// grace goes from a termination request to its record, and from a child's exit to its reaping.
constexpr qint64 kGraceMs = 2500;

// Children of this process that have exited and not been reaped.
QSet<qint64> zombieChildren() {
    QSet<qint64> zombies;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(entry));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(0) == "Z" && fields.at(1).toLongLong() == QCoreApplication::applicationPid())
            zombies.insert(entry.toLongLong());
    }
    return zombies;
}

// Watches the controller from inside its main loop: stalls between ticks, replies finished twice, engines
// alive that it neither holds nor asked to stop, and zombies left standing.
class Watch : public QObject {
public:
    Watch(const AppDelegate& d, const Probes& probes) {
        m_sinceTick.start();
        m_clock.start();
        m_tick.setTimerType(Qt::PreciseTimer);
        connect(&m_tick, &QTimer::timeout, this, [this] { maxStallMs = std::max(maxStallMs, m_sinceTick.restart()); });
        m_tick.start(10);
        connect(&m_sample, &QTimer::timeout, this, [this, &d, &probes] { sample(d, probes); });
        m_sample.start(100);
        connect(d.findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished, this,
                [this](QNetworkReply* r) {
                    if (m_finished.contains(r))
                        note(QStringLiteral("a poll's reply finished twice"));
                    m_finished.insert(r);
                    connect(r, &QObject::destroyed, this, [this, r] { m_finished.remove(r); });
                    ++repliesFinished;
                });
    }
    qint64 maxStallMs = 0;
    int repliesFinished = 0;
    QStringList violations;

private:
    void sample(const AppDelegate& d, const Probes& probes) {
        const qint64 held = d.pyProc() ? d.pyProc()->pid() : 0;
        for (qint64 pid : probes.started()) {
            if (!processAlive(pid, QStringLiteral("live_next")) || pid == held) {
                m_since.remove(pid);
                continue;
            }
            // No longer the held engine: from now on it must have been asked to stop.
            const qint64 since = m_since.value(pid, m_clock.elapsed());
            m_since.insert(pid, since);
            if (m_clock.elapsed() - since > kGraceMs && !probes.signalsOf(pid).contains(QStringLiteral("TERM")))
                note(QStringLiteral("engine %1 replaced and never asked to stop").arg(pid));
        }
        const QSet<qint64> zombies = zombieChildren();
        for (qint64 pid : zombies) {
            const qint64 since = m_zombieSince.value(pid, m_clock.elapsed());
            m_zombieSince.insert(pid, since);
            if (m_clock.elapsed() - since > kGraceMs)
                note(QStringLiteral("child %1 a zombie").arg(pid));
        }
        m_zombieSince.removeIf([&zombies](auto it) { return !zombies.contains(it.key()); });
    }
    void note(const QString& violation) {
        if (!violations.contains(violation))
            violations.append(violation);
    }

    QTimer m_tick, m_sample;
    QElapsedTimer m_sinceTick, m_clock;
    QHash<qint64, qint64> m_since, m_zombieSince;
    QSet<const QNetworkReply*> m_finished; // finished and still existing (addresses are reused after)
};

} // namespace

class TestChaos : public QObject {
    Q_OBJECT
private slots:
    void panelSurvivesAChaoticEngine() {
        TestTree tree;
        Probes probes;
        probes.installEngine(tree.appDir() + QStringLiteral("/live_next.py"));
        FeedServer elsewhere({200, R"({"ok": true, "now": {"title": "followed a redirect"}})"});
        // Until the first engine publishes its port, the feed address points where nothing answers.
        const quint16 preferred = FeedServer::unusedPort();
        probes.exportEnvironment(
            {{"CW_PROBE_SERVE", "chaos"},
             {"CW_PROBE_PORT", QString::number(preferred)},
             {"CW_PROBE_LIFETIME", "120"},
             {"CW_CHAOS_SUPPORT", tree.support()},
             {"CW_CHAOS_ELSEWHERE", QStringLiteral("http://127.0.0.1:%1/json").arg(elsewhere.port())}});
        tree.install();
        tree.write(tree.support() + QStringLiteral("/port"), QByteArray::number(preferred));

        AppDelegate d;
        d.setPollInterval(kPollMs);
        QSignalSpy polls(&d, &AppDelegate::pollFinished);
        QSignalSpy recoveries(&d, &AppDelegate::recovered);
        Watch watch(d, probes);
        d.applicationDidFinishLaunching();
        QTest::qWait(kRunMs);

        QHash<QString, int> served;
        for (const QJsonObject& record : probes.served())
            ++served[record.value(QLatin1String("mode")).toString()];
        const int good =
            int(std::count_if(polls.cbegin(), polls.cend(), [](const auto& p) { return p.at(0).toBool(); }));
        qInfo("%d engines, %d polls (%d good), %d recoveries, longest stall %lld ms", int(probes.started().size()),
              int(polls.size()), good, int(recoveries.size()), watch.maxStallMs);
        QVERIFY2(watch.violations.isEmpty(), qPrintable(watch.violations.join(u'\n')));
        QVERIFY2(watch.maxStallMs <= 1500, qPrintable(QString::number(watch.maxStallMs)));
        QCOMPARE(elsewhere.requests(), 0);
        QCOMPARE(int(polls.size()), watch.repliesFinished);
        // The chaos happened: every kind of mischief was met, and the panel kept recovering and applying.
        for (const char* kind :
             {"respond", "garbage", "slow", "midbody", "redirect", "array", "trickle", "error", "die", "hang"})
            QVERIFY2(served.value(QLatin1String(kind)) > 0, kind);
        QVERIFY(probes.started().size() >= 4 && recoveries.size() >= 3 && good >= 10 && polls.size() - good >= 10);

        // Quitting asks the held engine to stop; every engine started must then be gone, and reaped.
        d.applicationWillTerminate();
        const auto engineAlive = [&probes] {
            const QList<qint64> started = probes.started();
            return std::any_of(started.cbegin(), started.cend(),
                               [](qint64 pid) { return processAlive(pid, QStringLiteral("live_next")); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(!engineAlive(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(zombieChildren().isEmpty(), 5000);
        QVERIFY2(watch.violations.isEmpty(), qPrintable(watch.violations.join(u'\n')));
    }
};

QTEST_MAIN(TestChaos)
#include "tst_chaos.moc"
