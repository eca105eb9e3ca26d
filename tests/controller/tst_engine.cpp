// The engine link in-process, against real parts: the ping against a probe serving on 127.0.0.1, the
// launch sequence, and spawn, recover and quit with probe engines that record the signals reaching them.
// How the real cueview starts and leaves its engine is tst_cueview's part.

#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/Support.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace cw;
using namespace cw::test;
using Reply = FeedServer::Reply;

namespace {

constexpr int kPingBoundMs = 1500; // the ping's 1.0 s limit, with room for a loaded machine

// A tree whose engine script is the probe, run by the real interpreter, with the probes' environment
// exported (the controller's engines inherit it) and the port file pointing at port.
struct Rig {
    TestTree tree;
    Probes probes;
    QString script = probes.installEngine(tree.appDir() + QStringLiteral("/live_next.py"));
    explicit Rig(const QString& portText, const QHash<QString, QString>& probeSettings = {}) {
        tree.install();
        probes.exportEnvironment(probeSettings);
        tree.write(tree.support() + QStringLiteral("/port"), portText.toUtf8());
    }
};

const QHash<QString, QString> kStay{{QStringLiteral("CW_PROBE_ON_TERM"), QStringLiteral("stay")}};

} // namespace

class TestEngine : public QObject {
    Q_OBJECT
private slots:
    void ping_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("port"); // empty: the server's
        QTest::addColumn<bool>("up");
        QTest::newRow("200, not JSON") << Reply{200, "<html>starting</html>"} << QString() << true;
        QTest::newRow("503") << Reply{503, R"({"ok": true})"} << QString() << false;
        QTest::newRow("redirect") << Reply{301, ""} << QString() << false;
        QTest::newRow("silent") << Reply{200, "", "silent"} << QString() << false;
        QTest::newRow("closed") << Reply{200, "", "close"} << QString() << false;
        QTest::newRow("refused") << Reply{} << QString::number(FeedServer::unusedPort()) << false;
        QTest::newRow("above 65535") << Reply{} << "70000" << false;
        QTest::newRow("largest 64-bit") << Reply{} << "9223372036854775807" << false;
    }
    void ping() {
        QFETCH(Reply, reply);
        QFETCH(QString, port);
        QFETCH(bool, up);
        FeedServer server(reply);
        Rig rig(port.isEmpty() ? QString::number(server.port()) : port);
        AppDelegate d;
        // The panel is frozen during a ping: no timer tick, poll or button action may run inside it.
        bool posted = false;
        QTimer::singleShot(0, this, [&posted] { posted = true; });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(d.ping(), up);
        QVERIFY2(clock.elapsed() < kPingBoundMs, qPrintable(QString::number(clock.elapsed())));
        if (reply.mode == QLatin1String("silent"))
            QVERIFY(clock.elapsed() >= 200); // it really waited, with an event due all the while
        QVERIFY(!posted);
        QTRY_COMPARE(server.requests(), port.isEmpty() ? 1 : 0);
        QVERIFY(port.isEmpty() == server.lastHead().startsWith("GET /json HTTP/1.1\r\n"));
    }

    void launch_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<bool>("served");
        QTest::addColumn<bool>("startsEngine");
        const QByteArray document = R"({"ok": true, "next": [{"title": "A"}]})";
        QTest::newRow("engine answers") << Reply{200, document} << true << false;
        // A 503 is down for the ping, yet its document is applied by the poll.
        QTest::newRow("engine answers 503") << Reply{503, document} << true << true;
        QTest::newRow("no engine") << Reply{} << false << true;
    }
    void launch() {
        QFETCH(Reply, reply);
        QFETCH(bool, served);
        QFETCH(bool, startsEngine);
        FeedServer server(reply);
        Rig rig(QString::number(served ? server.port() : FeedServer::unusedPort()));
        AppDelegate d;
        d.setPollInterval(60000); // a poll that arrives here is the launch sequence's own
        QSignalSpy judged(&d, &AppDelegate::pollFinished);
        d.applicationDidFinishLaunching();
        QVERIFY(d.panel());
        QVERIFY(judged.wait(5000));
        QCOMPARE(judged.at(0).at(0).toBool(), served);
        QCOMPARE(server.requests(), served ? 2 : 0); // the ping and the first poll
        QCOMPARE(bool(d.pyProc()), startsEngine);
        if (!served) // a failed first poll leaves the labels as they came up
            QCOMPARE(d.view(), initialView());
        const QList<qint64> engines = rig.probes.waitForStarted(startsEngine ? 1 : 0, startsEngine ? 10000 : 300);
        QCOMPARE(engines.size(), int(startsEngine));
        if (!startsEngine)
            return d.applicationWillTerminate(); // nothing of ours to stop
        QCOMPARE(rig.probes.start(engines[0]).value("argv").toVariant().toStringList(),
                 (QStringList{pythonPath(), rig.script}));
        d.applicationWillTerminate();
        QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(engines[0]), QStringList{"TERM"}, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!d.pyProc()->running(), 10000);
    }

    void spawnWithoutInterpreter() {
        Rig rig(QString::number(FeedServer::unusedPort()));
        rig.tree.install("en", rig.tree.root() + QStringLiteral("/no/python3"));
        AppDelegate d;
        d.spawn();
        QVERIFY(d.pyProc() && !d.pyProc()->started() && d.pyProc()->pid() == 0);
        // recover finds nothing answering and tries again, as harmlessly; quitting has nothing to stop.
        const EngineProcess* before = d.pyProc();
        d.recover();
        QVERIFY(d.pyProc() != before && !d.pyProc()->started());
        d.applicationWillTerminate();
    }

    void terminateAfterTheEngineEndedOnItsOwn() {
        // The engine ends while the main thread runs no events (as during a ping); a terminate() that
        // follows must notice the exit instead of signalling a PID that is no longer our child.
        Rig rig(QString(), {{QStringLiteral("CW_PROBE_LIFETIME"), QStringLiteral("0.2")}});
        EngineProcess engine(pythonPath(), {rig.script});
        const qint64 pid = engine.pid();
        const QDeadlineTimer deadline(10000);
        while (processAlive(pid) && !deadline.hasExpired())
            QThread::msleep(20);
        QVERIFY(!processAlive(pid) && engine.running()); // the handle has not heard of the exit yet
        engine.terminate();
        QVERIFY(!engine.running() && engine.pid() == 0);
        QVERIFY(rig.probes.signalsOf(pid).isEmpty());
    }

    void recover_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<bool>("ownEngine"); // whether an engine of ours runs before recover
        QTest::addColumn<bool>("restart");
        QTest::newRow("answers 200") << Reply{200, "not even JSON"} << true << false;
        QTest::newRow("answers 503") << Reply{503, ""} << true << true;
        QTest::newRow("silent") << Reply{200, "", "silent"} << true << true;
        QTest::newRow("503, no engine of ours") << Reply{503, ""} << false << true;
    }
    void recover() {
        QFETCH(Reply, reply);
        QFETCH(bool, ownEngine);
        QFETCH(bool, restart);
        // These engines ignore SIGTERM, so a recover or a quit that waited for one would hang.
        FeedServer server(reply);
        Rig rig(QString::number(server.port()), kStay);
        AppDelegate d;
        qint64 old = 0;
        if (ownEngine) {
            d.spawn();
            old = d.pyProc()->pid();
            QCOMPARE(rig.probes.waitForStarted(1).size(), 1); // its signal handlers are in place
        }
        d.recover();
        QCOMPARE(server.requests(), 1);
        const qint64 current = d.pyProc()->pid();
        QCOMPARE(current != old, restart);
        const int engines = int(ownEngine) + int(restart);
        QVERIFY(rig.probes.waitForStarted(engines).contains(current));
        if (old && restart) { // asked to stop, not waited for, and the replaced handle kills nothing
            QVERIFY(processAlive(old));
            QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(old), QStringList{"TERM"}, 10000);
        }
        // Quitting asks only the newest engine to stop, once, however often the path is entered, and
        // returns at once.
        QElapsedTimer clock;
        clock.start();
        d.applicationWillTerminate();
        d.applicationWillTerminate();
        QVERIFY(clock.elapsed() < 1000 && processAlive(current));
        QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(current), QStringList{"TERM"}, 10000);
        QVERIFY(!QTest::qWaitFor([&] { return rig.probes.signalsOf(current).size() > 1; }, 300));
        if (old && restart)
            QCOMPARE(rig.probes.signalsOf(old), QStringList{"TERM"});
        QCOMPARE(rig.probes.started().size(), engines);
    }
};

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
