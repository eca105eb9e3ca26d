// The engine link against real parts: ping against a local HTTP server, spawn and recover with probe
// engines that record how they were started and which signals reached them.

#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/EngineRig.h"
#include "support/HttpTestServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <unistd.h>

using namespace cw;
using namespace cw::test;
using Behaviour = HttpTestServer::Behaviour;

namespace {

constexpr int kPingBoundMs = 1500; // the ping's 1.0 s limit, with room for a loaded machine

const QHash<QString, QString> kStay{{QStringLiteral("CW_PROBE_ON_TERM"), QStringLiteral("stay")}};

// Terminates what is still running and waits (event loop running) until every handle saw its exit.
void reapEngine(AppDelegate& d) {
    if (d.pyProc) {
        d.pyProc->terminate();
        QTRY_VERIFY_WITH_TIMEOUT(!d.pyProc->running(), 10000);
    }
}

} // namespace

class TestEngineLink : public QObject {
    Q_OBJECT
private slots:
    void ping_data();
    void ping();
    void pingRunsNoEvents();
    void pingOfAnUnusablePort_data();
    void pingOfAnUnusablePort();

    void spawnStartsTheEngine();
    void spawnWithoutInterpreter_data();
    void spawnWithoutInterpreter();
    void handleNeverEndsTheEngine();
    void terminateAfterTheEngineEndedOnItsOwn();

    void recover_data();
    void recover();
    void recoverWithoutAnEngineOfOurOwn();
    void terminateAfterRecoverReachesOnlyTheNewest();

    void cleanup();
};

void TestEngineLink::cleanup() {
    // Let orphaned handles see their engines' exits so no zombie outlives its test.
    QTest::qWait(50);
}

void TestEngineLink::ping_data() {
    QTest::addColumn<HttpTestServer::Reply>("serverReply");
    QTest::addColumn<bool>("up");
    QTest::newRow("200 with JSON") << HttpTestServer::reply(Behaviour::Respond, 200, R"({"ok": true})") << true;
    QTest::newRow("200 with non-JSON body")
        << HttpTestServer::reply(Behaviour::Respond, 200, "<html>starting</html>") << true;
    QTest::newRow("200 with empty body") << HttpTestServer::reply(Behaviour::Respond, 200) << true;
    QTest::newRow("503") << HttpTestServer::reply(Behaviour::Respond, 503, R"({"ok": true})") << false;
    QTest::newRow("redirect") << HttpTestServer::reply(Behaviour::Respond, 301) << false;
    QTest::newRow("silent") << HttpTestServer::reply(Behaviour::Silent) << false;
    QTest::newRow("closed without answer") << HttpTestServer::reply(Behaviour::CloseAtOnce) << false;
}

void TestEngineLink::ping() {
    QFETCH(HttpTestServer::Reply, serverReply);
    QFETCH(bool, up);
    EngineRig rig;
    HttpTestServer server;
    QVERIFY(server.listening());
    server.setReply(serverReply);
    rig.setPort(server.port());
    AppDelegate d;

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(d.ping(), up);
    QVERIFY2(clock.elapsed() < kPingBoundMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(server.requestCount(), 1);
    QVERIFY(server.requestHeads().at(0).startsWith("GET /json HTTP/1.1\r\n"));
}

void TestEngineLink::pingRunsNoEvents() {
    // The panel is frozen during a ping: no timer tick, poll or button action may run inside it.
    EngineRig rig;
    HttpTestServer server;
    server.setReply(HttpTestServer::reply(Behaviour::Silent));
    rig.setPort(server.port());
    AppDelegate d;
    bool posted = false;
    int ticks = 0;
    QTimer::singleShot(0, this, [&posted] { posted = true; });
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(10);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(!d.ping());
    QVERIFY(clock.elapsed() >= 200); // it really waited on the silent server
    QVERIFY(!posted);
    QCOMPARE(ticks, 0);
    QTRY_VERIFY(posted);
}

void TestEngineLink::pingOfAnUnusablePort_data() {
    QTest::addColumn<QByteArray>("portText");
    QTest::newRow("nothing listens") << QByteArray::number(HttpTestServer::unusedPort());
    QTest::newRow("above 65535") << QByteArray("70000");
    QTest::newRow("largest 64-bit") << QByteArray("9223372036854775807");
}

void TestEngineLink::pingOfAnUnusablePort() {
    QFETCH(QByteArray, portText);
    EngineRig rig;
    rig.setPortText(portText);
    AppDelegate d;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!d.ping());
    QVERIFY(clock.elapsed() < kPingBoundMs);
}

void TestEngineLink::spawnStartsTheEngine() {
    EngineRig rig;
    qputenv("CW_TEST_MARKER", "inherited as is");
    AppDelegate d;
    QVERIFY(!d.pyProc);
    d.spawn();
    QVERIFY(d.pyProc);
    QVERIFY(d.pyProc->started());
    const QList<qint64> pids = rig.waitForProbes(1);
    QCOMPARE(pids.size(), 1);
    const auto record = rig.probes.record(pids.first());
    QVERIFY(record);

    // PY with exactly one argument, SCRIPT; our environment and working directory; our child.
    QCOMPARE(record->interpreterArgs, QStringList{rig.script()});
    QCOMPARE(record->script, rig.script());
    QCOMPARE(record->pid, d.pyProc->pid());
    QCOMPARE(record->ppid, qint64(::getpid()));
    QCOMPARE(record->cwd, QDir::currentPath());
    QCOMPARE(record->env.value("CW_TEST_MARKER"), QStringLiteral("inherited as is"));
    // Its output goes nowhere.
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/1").arg(record->pid)), QStringLiteral("/dev/null"));
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/2").arg(record->pid)), QStringLiteral("/dev/null"));

    d.pyProc->terminate();
    QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(record->pid), QStringList{"TERM"}, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!d.pyProc->running(), 10000);
    QCOMPARE(d.pyProc->pid(), 0);
    d.pyProc->terminate(); // after the exit: nothing to signal
    qunsetenv("CW_TEST_MARKER");
}

void TestEngineLink::spawnWithoutInterpreter_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("not executable") << "plain file";
    QTest::newRow("directory") << "directory";
}

void TestEngineLink::spawnWithoutInterpreter() {
    QFETCH(QString, kind);
    TestTree tree;
    QString python = tree.root() + QStringLiteral("/no/python3");
    if (kind == QLatin1String("plain file"))
        python = tree.write(tree.root() + QStringLiteral("/python3"), "#!/bin/sh\n");
    else if (kind == QLatin1String("directory"))
        python = tree.root();
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), python);
    tree.install(env);

    AppDelegate d;
    d.spawn();
    QVERIFY(d.pyProc); // set even though nothing started
    QVERIFY(!d.pyProc->started());
    QVERIFY(!d.pyProc->running());
    QCOMPARE(d.pyProc->pid(), 0);
    d.pyProc->terminate();
    d.applicationWillTerminate();
    // recover finds nothing answering and tries again, as harmlessly.
    tree.write(settings().SUPPORT + QStringLiteral("/port"), QByteArray::number(HttpTestServer::unusedPort()));
    EngineProcess* before = d.pyProc.get();
    d.recover();
    QVERIFY(d.pyProc);
    QVERIFY(d.pyProc.get() != before);
    QVERIFY(!d.pyProc->started());
}

void TestEngineLink::handleNeverEndsTheEngine() {
    // Replacing the handle, destroying the controller and destroying a bare handle all leave the engine
    // running: only terminate() signals it.
    EngineRig rig(kStay);
    QList<qint64> alive;
    {
        AppDelegate d;
        d.spawn();
        const qint64 first = d.pyProc->pid();
        d.spawn();
        const qint64 second = d.pyProc->pid();
        QVERIFY(first > 0 && second > 0 && first != second);
        alive = {first, second};
    }
    {
        EngineProcess bare(rig.interpreter(), {rig.script()});
        QVERIFY(bare.started());
        alive.append(bare.pid());
    }
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

void TestEngineLink::terminateAfterTheEngineEndedOnItsOwn() {
    // The engine ends while the main thread runs no events (as during a ping); a terminate() that
    // follows must notice the exit instead of signalling a PID that is no longer our child.
    EngineRig rig({{QStringLiteral("CW_PROBE_LIFETIME"), QStringLiteral("0.2")}});
    EngineProcess engine(rig.interpreter(), {rig.script()});
    QVERIFY(engine.started());
    const qint64 pid = engine.pid();
    QDeadlineTimer deadline(10000);
    while (processAlive(pid) && !deadline.hasExpired())
        QThread::msleep(20);
    QVERIFY(!processAlive(pid));
    QVERIFY2(engine.running(), "the handle should not have heard of the exit yet");
    engine.terminate();
    QVERIFY(!engine.running());
    QCOMPARE(engine.pid(), 0);
    QVERIFY(rig.probes.signalsOf(pid).isEmpty());
}

void TestEngineLink::recover_data() {
    QTest::addColumn<HttpTestServer::Reply>("serverReply");
    QTest::addColumn<bool>("restart");
    QTest::newRow("answers 200") << HttpTestServer::reply(Behaviour::Respond, 200, "not even JSON") << false;
    QTest::newRow("answers 503") << HttpTestServer::reply(Behaviour::Respond, 503) << true;
    QTest::newRow("silent") << HttpTestServer::reply(Behaviour::Silent) << true;
    QTest::newRow("gone") << HttpTestServer::reply(Behaviour::CloseAtOnce) << true;
}

void TestEngineLink::recover() {
    QFETCH(HttpTestServer::Reply, serverReply);
    QFETCH(bool, restart);
    // The old engine ignores SIGTERM, so a recover that waited for it would hang here.
    EngineRig rig(kStay);
    HttpTestServer server;
    server.setReply(serverReply);
    rig.setPort(server.port());
    AppDelegate d;
    d.spawn();
    const qint64 old = d.pyProc->pid();
    QCOMPARE(rig.waitForProbes(1).size(), 1);
    rig.setProbeEnv({}); // a successor ends on SIGTERM

    QElapsedTimer clock;
    clock.start();
    d.recover();
    QVERIFY(clock.elapsed() < kPingBoundMs + 2000);
    QCOMPARE(server.requestCount(), 1);
    if (restart) {
        QVERIFY(d.pyProc->pid() != old);
        QVERIFY(processAlive(old)); // asked, not waited for
        QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(old), QStringList{"TERM"}, 10000);
        const QList<qint64> pids = rig.waitForProbes(2);
        QCOMPARE(pids.size(), 2);
        QVERIFY(pids.contains(d.pyProc->pid()));
    } else {
        QCOMPARE(d.pyProc->pid(), old);
        QTest::qWait(300);
        QVERIFY(rig.probes.signalsOf(old).isEmpty());
        QCOMPARE(rig.probes.pids().size(), 1);
    }
    rig.probes.killAll();
    reapEngine(d);
}

void TestEngineLink::recoverWithoutAnEngineOfOurOwn() {
    // An engine we did not start (pyProc none) is never signalled; recover only starts one beside it.
    EngineRig rig;
    rig.setPort(HttpTestServer::unusedPort());
    AppDelegate d;
    d.recover();
    QVERIFY(d.pyProc);
    QVERIFY(d.pyProc->started());
    QCOMPARE(rig.waitForProbes(1).size(), 1);
    reapEngine(d);
}

void TestEngineLink::terminateAfterRecoverReachesOnlyTheNewest() {
    EngineRig rig(kStay);
    rig.setPort(HttpTestServer::unusedPort());
    AppDelegate d;
    d.spawn();
    const qint64 first = d.pyProc->pid();
    QCOMPARE(rig.waitForProbes(1).size(), 1); // its signal handlers are in place
    d.recover();
    const qint64 second = d.pyProc->pid();
    QVERIFY(second != first);
    QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(first), QStringList{"TERM"}, 10000);
    QCOMPARE(rig.waitForProbes(2).size(), 2);

    QElapsedTimer clock;
    clock.start();
    d.applicationWillTerminate();
    d.applicationWillTerminate(); // the termination path runs once however often it is entered
    QVERIFY(clock.elapsed() < 1000);
    QVERIFY(processAlive(second)); // asked, not waited for
    QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(second), QStringList{"TERM"}, 10000);
    QTest::qWait(300);
    QCOMPARE(rig.probes.signalsOf(second), QStringList{"TERM"});
    QCOMPARE(rig.probes.signalsOf(first), QStringList{"TERM"});
    rig.probes.killAll();
    QTRY_VERIFY_WITH_TIMEOUT(!d.pyProc->running(), 10000);
}

QTEST_MAIN(TestEngineLink)
#include "tst_engine_link.moc"
