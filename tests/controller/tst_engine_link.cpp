// The engine link against real parts: ping against a local HTTP server, spawn and recover with probe
// engines that record the signals that reach them. How cueview starts its engine is tst_lifecycle's part.

#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/EngineRig.h"
#include "support/HttpTestServer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace cw;
using namespace cw::test;
using Behaviour = HttpTestServer::Behaviour;

namespace {

constexpr int kPingBoundMs = 1500; // the ping's 1.0 s limit, with room for a loaded machine

const QHash<QString, QString> kStay{{QStringLiteral("CW_PROBE_ON_TERM"), QStringLiteral("stay")}};

} // namespace

class TestEngineLink : public QObject {
    Q_OBJECT
private slots:
    void ping_data() {
        QTest::addColumn<HttpTestServer::Reply>("serverReply");
        QTest::addColumn<QByteArray>("portText"); // empty: the server's port
        QTest::addColumn<bool>("up");
        const QByteArray served;
        QTest::newRow("200 with non-JSON body")
            << HttpTestServer::reply(Behaviour::Respond, 200, "<html>starting</html>") << served << true;
        QTest::newRow("503") << HttpTestServer::reply(Behaviour::Respond, 503, R"({"ok": true})") << served << false;
        QTest::newRow("redirect") << HttpTestServer::reply(Behaviour::Respond, 301) << served << false;
        QTest::newRow("silent") << HttpTestServer::reply(Behaviour::Silent) << served << false;
        QTest::newRow("closed without answer") << HttpTestServer::reply(Behaviour::CloseAtOnce) << served << false;
        QTest::newRow("refused") << HttpTestServer::Reply() << QByteArray::number(HttpTestServer::unusedPort())
                                 << false;
        QTest::newRow("above 65535") << HttpTestServer::Reply() << QByteArray("70000") << false;
        QTest::newRow("largest 64-bit") << HttpTestServer::Reply() << QByteArray("9223372036854775807") << false;
    }
    void ping() {
        QFETCH(HttpTestServer::Reply, serverReply);
        QFETCH(QByteArray, portText);
        QFETCH(bool, up);
        EngineRig rig;
        HttpTestServer server;
        QVERIFY(server.listening());
        server.setReply(serverReply);
        rig.setPortText(portText.isEmpty() ? QByteArray::number(server.port()) : portText);
        AppDelegate d;
        // The panel is frozen during a ping: no timer tick, poll or button action may run inside it.
        bool posted = false;
        int ticks = 0;
        QTimer::singleShot(0, this, [&posted] { posted = true; });
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(10);

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(d.ping(), up);
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed < kPingBoundMs, qPrintable(QString::number(elapsed)));
        if (serverReply.behaviour == Behaviour::Silent)
            QVERIFY(elapsed >= 200); // it really waited, with events due all the while
        QVERIFY(!posted);
        QCOMPARE(ticks, 0);
        QTRY_VERIFY(posted);
        QCOMPARE(server.requestCount(), portText.isEmpty() ? 1 : 0);
        if (portText.isEmpty())
            QVERIFY(server.requestHeads().at(0).startsWith("GET /json HTTP/1.1\r\n"));
    }

    void spawnWithoutInterpreter() {
        TestTree tree;
        QProcessEnvironment env;
        env.insert(QStringLiteral("TRK_PYTHON"), tree.root() + QStringLiteral("/no/python3"));
        tree.install(env);
        AppDelegate d;
        d.spawn();
        QVERIFY(d.pyProc); // set even though nothing started
        QVERIFY(!d.pyProc->started() && !d.pyProc->running());
        QCOMPARE(d.pyProc->pid(), 0);
        d.pyProc->terminate();
        d.applicationWillTerminate();
        // recover finds nothing answering and tries again, as harmlessly.
        tree.write(settings().SUPPORT + QStringLiteral("/port"), QByteArray::number(HttpTestServer::unusedPort()));
        const EngineProcess* before = d.pyProc.get();
        d.recover();
        QVERIFY(d.pyProc && d.pyProc.get() != before);
        QVERIFY(!d.pyProc->started());
    }

    void handleNeverEndsTheEngine() {
        // Replacing the handle, destroying the controller and destroying a bare handle all leave the engine
        // running: only terminate() signals it.
        EngineRig rig(kStay);
        QList<qint64> alive;
        {
            AppDelegate d;
            d.spawn();
            alive.append(d.pyProc->pid());
            d.spawn();
            alive.append(d.pyProc->pid());
        }
        {
            EngineProcess bare(rig.interpreter(), {rig.script()});
            alive.append(bare.pid());
        }
        QVERIFY(alive[0] > 0 && alive[1] > 0 && alive[2] > 0 && alive[0] != alive[1]);
        QCOMPARE(rig.waitForProbes(3).size(), 3);
        QTest::qWait(300); // room for a kill, had there been one
        for (qint64 pid : std::as_const(alive)) {
            QVERIFY2(processAlive(pid), qPrintable(QString::number(pid)));
            QVERIFY(rig.probes.signalsOf(pid).isEmpty());
        }
        rig.probes.killAll();
        for (qint64 pid : std::as_const(alive))
            QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), 10000);
    }

    void terminateAfterTheEngineEndedOnItsOwn() {
        // The engine ends while the main thread runs no events (as during a ping); a terminate() that
        // follows must notice the exit instead of signalling a PID that is no longer our child.
        EngineRig rig({{QStringLiteral("CW_PROBE_LIFETIME"), QStringLiteral("0.2")}});
        EngineProcess engine(rig.interpreter(), {rig.script()});
        QVERIFY(engine.started());
        const qint64 pid = engine.pid();
        const QDeadlineTimer deadline(10000);
        while (processAlive(pid) && !deadline.hasExpired())
            QThread::msleep(20);
        QVERIFY(!processAlive(pid));
        QVERIFY2(engine.running(), "the handle should not have heard of the exit yet");
        engine.terminate();
        QVERIFY(!engine.running());
        QCOMPARE(engine.pid(), 0);
        engine.terminate(); // once the exit is known: as harmless
        QVERIFY(rig.probes.signalsOf(pid).isEmpty());
    }

    void recover_data() {
        QTest::addColumn<HttpTestServer::Reply>("serverReply");
        QTest::addColumn<bool>("ownEngine"); // whether an engine of ours runs before recover
        QTest::addColumn<bool>("restart");
        QTest::newRow("answers 200") << HttpTestServer::reply(Behaviour::Respond, 200, "not even JSON") << true
                                     << false;
        QTest::newRow("answers 503") << HttpTestServer::reply(Behaviour::Respond, 503) << true << true;
        QTest::newRow("silent") << HttpTestServer::reply(Behaviour::Silent) << true << true;
        QTest::newRow("503, no engine of ours") << HttpTestServer::reply(Behaviour::Respond, 503) << false << true;
    }
    void recover() {
        QFETCH(HttpTestServer::Reply, serverReply);
        QFETCH(bool, ownEngine);
        QFETCH(bool, restart);
        // Engines here ignore SIGTERM, so a recover or a quit that waited for one would hang.
        EngineRig rig(kStay);
        HttpTestServer server;
        server.setReply(serverReply);
        rig.setPort(server.port());
        AppDelegate d;
        qint64 old = 0;
        if (ownEngine) {
            d.spawn();
            old = d.pyProc->pid();
            QCOMPARE(rig.waitForProbes(1).size(), 1); // its signal handlers are in place
        }

        QElapsedTimer clock;
        clock.start();
        d.recover();
        QVERIFY(clock.elapsed() < kPingBoundMs + 2000);
        QCOMPARE(server.requestCount(), 1);
        QVERIFY(d.pyProc && d.pyProc->started());
        const qint64 current = d.pyProc->pid();
        QCOMPARE(current != old, restart);
        const int engines = int(ownEngine) + int(restart);
        QVERIFY(rig.waitForProbes(engines).contains(current));
        if (old && restart) {
            QVERIFY(processAlive(old)); // asked, not waited for
            QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(old), QStringList{"TERM"}, 10000);
        }

        // Quitting asks only the newest engine to stop, once, however often the path is entered.
        clock.restart();
        d.applicationWillTerminate();
        QVERIFY(clock.elapsed() < 1000);
        QVERIFY(processAlive(current));
        QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(current), QStringList{"TERM"}, 10000);
        d.applicationWillTerminate();
        QTest::qWait(300);
        QCOMPARE(rig.probes.signalsOf(current), QStringList{"TERM"});
        if (old && restart)
            QCOMPARE(rig.probes.signalsOf(old), QStringList{"TERM"});
        QCOMPARE(rig.probes.pids().size(), engines);
        rig.probes.killAll();
        QTRY_VERIFY_WITH_TIMEOUT(!d.pyProc->running(), 10000);
    }

    void cleanup() {
        // Let orphaned handles see their engines' exits so no zombie outlives its test.
        QTest::qWait(50);
    }
};

QTEST_MAIN(TestEngineLink)
#include "tst_engine_link.moc"
