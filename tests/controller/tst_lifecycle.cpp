// The controller's launch and termination. In-process: the launch sequence against a local feed server.
// Out of process: the real cueview binary, run headless in a temporary home and resource directory with
// a probe engine, stopped by signals as a desktop session would stop it.

#include "config/Texts.h"
#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/EngineRig.h"
#include "support/HttpTestServer.h"
#include "ui/TextLabel.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace cw;
using namespace cw::test;
using Behaviour = HttpTestServer::Behaviour;

namespace {

const QByteArray kDocument = R"({"ok": true, "next": [{"title": "A"}]})";
const QString kCueview = QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/cueview");

// Ends a process this test is responsible for but did not necessarily start itself (an engine whose
// parent cueview has exited): SIGKILL once its command line still names needle, then reap it when it
// became our child (we are a subreaper), or wait until it is gone.
void endOrphan(qint64 pid, const QString& needle) {
    if (processRuns(pid, needle))
        ::kill(pid_t(pid), SIGKILL);
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const pid_t reaped = ::waitpid(pid_t(pid), nullptr, WNOHANG);
        if (reaped == pid_t(pid) || (reaped < 0 && !processAlive(pid)))
            return;
        QThread::msleep(10);
    }
}

// cueview run from the build's application tree, in tree's resource directory and home.
struct Overlay {
    QProcess process;
    explicit Overlay(const EngineRig& rig) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), rig.tree.home());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("TRK_PYTHON"), rig.interpreter());
        env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("en"));
        env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("0"));
        env.insert(QStringLiteral("CW_TEST_MARKER"), QStringLiteral("from the session"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(rig.tree.appDir());
        process.setProgram(kCueview);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
    }
    ~Overlay() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    bool start() {
        process.start();
        return process.waitForStarted(10000);
    }
    void signal(int sig) { ::kill(pid_t(process.processId()), sig); }
};

} // namespace

class TestLifecycle : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void launch_data();
    void launch();
    void ticksPollUnlessLocked();
    void labelsBeforeTheFirstGoodPoll();

    void signalEndsOverlayAndAsksItsEngineToStop_data();
    void signalEndsOverlayAndAsksItsEngineToStop();
    void engineFoundAtLaunchIsLeftAlone();
};

void TestLifecycle::initTestCase() {
    QVERIFY2(QFileInfo(kCueview).isExecutable(), qPrintable(kCueview));
    QVERIFY(!pythonPath().isEmpty());
    // Engines whose cueview has exited become our children, so we can reap them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void TestLifecycle::launch_data() {
    QTest::addColumn<HttpTestServer::Reply>("serverReply");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("startsEngine");
    QTest::newRow("engine answers") << HttpTestServer::reply(Behaviour::Respond, 200, kDocument) << false << false;
    QTest::newRow("engine answers, not JSON yet")
        << HttpTestServer::reply(Behaviour::Respond, 200, "warming up") << false << false;
    QTest::newRow("engine answers 503") << HttpTestServer::reply(Behaviour::Respond, 503, kDocument) << false << true;
    QTest::newRow("engine silent") << HttpTestServer::reply(Behaviour::Silent) << false << true;
    QTest::newRow("no engine") << HttpTestServer::Reply() << true << true;
}

void TestLifecycle::launch() {
    QFETCH(HttpTestServer::Reply, serverReply);
    QFETCH(bool, refused);
    QFETCH(bool, startsEngine);
    EngineRig rig;
    HttpTestServer server;
    server.setReply(serverReply);
    rig.setPort(refused ? HttpTestServer::unusedPort() : server.port());
    AppDelegate d;
    // No tick can come during this test: a poll that arrives is the launch sequence's own.
    d.pollIntervalMs = 60000;
    QSignalSpy judged(&d, &AppDelegate::pollFinished);

    d.applicationDidFinishLaunching();
    QVERIFY(d.panel);
    QVERIFY(judged.wait(5000));
    QCOMPARE(judged.count(), 1);
    QCOMPARE(judged.at(0).at(0).toBool(),
             !refused && serverReply.behaviour == Behaviour::Respond && serverReply.body == kDocument);
    QCOMPARE(server.requestCount(), refused ? 0 : 2); // the ping and the first poll

    QCOMPARE(bool(d.pyProc), startsEngine);
    if (startsEngine) {
        QVERIFY(d.pyProc->started());
        const QList<qint64> pids = rig.waitForProbes(1);
        QCOMPARE(pids.size(), 1);
        QCOMPARE(rig.probes.record(pids.first())->interpreterArgs, QStringList{rig.script()});
        d.applicationWillTerminate();
        QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(pids.first()), QStringList{"TERM"}, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!d.pyProc->running(), 10000);
    } else {
        QTest::qWait(300);
        QVERIFY(rig.probes.pids().isEmpty());
        for (const QStringList& run : rig.probes.interpreterRuns())
            QVERIFY(run != QStringList{rig.script()});
        d.applicationWillTerminate(); // nothing of ours to stop
    }
}

void TestLifecycle::ticksPollUnlessLocked() {
    EngineRig rig;
    HttpTestServer server;
    server.respond(200, kDocument);
    rig.setPort(server.port());
    AppDelegate d;
    d.pollIntervalMs = 150;
    d.applicationDidFinishLaunching();
    QTRY_VERIFY_WITH_TIMEOUT(server.requestCount() >= 4, 10000);

    d.locked = true;
    QTest::qWait(1600); // a poll already on its way lands or gives up within its 1.5 s
    const int frozenAt = server.requestCount();
    QTest::qWait(1000); // several ticks
    QCOMPARE(server.requestCount(), frozenAt);

    d.locked = false;
    QTRY_VERIFY_WITH_TIMEOUT(server.requestCount() > frozenAt, 10000);
}

void TestLifecycle::labelsBeforeTheFirstGoodPoll() {
    EngineRig rig;
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), rig.interpreter());
    env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("de"));
    rig.tree.install(env);
    HttpTestServer server;
    server.respond(200, "not yet");
    rig.setPort(server.port());
    AppDelegate d;
    d.pollIntervalMs = 60000;
    QSignalSpy judged(&d, &AppDelegate::pollFinished);
    d.applicationDidFinishLaunching();
    QVERIFY(judged.wait(5000));
    QCOMPARE(d.nowTitle->text(), QString::fromUtf8("lädt…"));
    QCOMPARE(d.nxLab->text(), textFor(QStringLiteral("de"), QStringLiteral("play_next")));
    QCOMPARE(d.nowMeta->text(), QString());
    QCOMPARE(d.rutLab->text(), QString());
    QVERIFY(!d.everConnected);
    QCOMPARE(d.failCount, 1);
}

void TestLifecycle::signalEndsOverlayAndAsksItsEngineToStop_data() {
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestLifecycle::signalEndsOverlayAndAsksItsEngineToStop() {
    QFETCH(int, sig);
    // The engine records SIGTERM but keeps running: an overlay that waited for it would not exit.
    EngineRig rig({{QStringLiteral("CW_PROBE_ON_TERM"), QStringLiteral("stay")},
                   {QStringLiteral("CW_PROBE_LIFETIME"), QStringLiteral("60")}});
    rig.setPort(HttpTestServer::unusedPort());
    Overlay overlay(rig);
    QVERIFY(overlay.start());
    const QList<qint64> pids = rig.waitForProbes(1, 20000);
    QCOMPARE(pids.size(), 1);
    const qint64 engine = pids.first();
    const auto record = rig.probes.record(engine);
    QVERIFY(record);

    // Started as PY SCRIPT, in the resource directory, with the overlay's environment.
    QCOMPARE(record->interpreterArgs, QStringList{rig.script()});
    QCOMPARE(QFileInfo(record->cwd).canonicalFilePath(), QFileInfo(rig.tree.appDir()).canonicalFilePath());
    QCOMPARE(record->ppid, overlay.process.processId());
    QCOMPARE(record->env.value("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    QCOMPARE(record->env.value("CW_TEST_MARKER"), QStringLiteral("from the session"));
    QCOMPARE(record->env.value("HOME"), rig.tree.home());

    overlay.signal(sig);
    QVERIFY(overlay.process.waitForFinished(10000));
    QCOMPARE(overlay.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(overlay.process.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(engine), QStringList{"TERM"}, 10000);
    QVERIFY(processAlive(engine)); // asked to stop, not waited for
    QTest::qWait(200);
    QCOMPARE(rig.probes.signalsOf(engine), QStringList{"TERM"}); // once

    endOrphan(engine, rig.script());
    for (const QString& name : QDir(rig.probes.dir()).entryList({QStringLiteral("*.interp")}))
        endOrphan(name.section(u'.', 0, 0).toLongLong(), rig.tree.appDir());
}

void TestLifecycle::engineFoundAtLaunchIsLeftAlone() {
    EngineRig rig;
    // The engine already running when the overlay starts: a serving probe of our own.
    ProbeLog runningLog;
    const QString runningScript = runningLog.installEngine(rig.tree.root() + QStringLiteral("/running/engine.py"));
    const quint16 port = HttpTestServer::unusedPort();
    QProcess running;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CW_PROBE_LOG"), runningLog.dir());
    env.insert(QStringLiteral("CW_PROBE_SERVE_PORT"), QString::number(port));
    env.insert(QStringLiteral("CW_PROBE_LIFETIME"), QStringLiteral("60"));
    running.setProcessEnvironment(env);
    running.setStandardOutputFile(QProcess::nullDevice());
    running.setStandardErrorFile(QProcess::nullDevice());
    running.start(pythonPath(), {runningScript});
    QVERIFY(running.waitForStarted(10000));
    const qint64 runningPid = running.processId();
    QTRY_VERIFY_WITH_TIMEOUT(runningLog.ready(runningPid), 20000);
    rig.setPort(port);

    Overlay overlay(rig);
    QVERIFY(overlay.start());
    // The launch ping and the first poll reached it.
    QTRY_VERIFY_WITH_TIMEOUT(runningLog.requestsOf(runningPid).size() >= 2, 20000);
    overlay.signal(SIGTERM);
    QVERIFY(overlay.process.waitForFinished(10000));
    QCOMPARE(overlay.process.exitCode(), 0);

    QTest::qWait(300);
    QCOMPARE(running.state(), QProcess::Running);
    QVERIFY(runningLog.signalsOf(runningPid).isEmpty());
    QVERIFY(rig.probes.pids().isEmpty());
    for (const QStringList& run : rig.probes.interpreterRuns())
        QVERIFY(run != QStringList{rig.script()});
    for (const QString& name : QDir(rig.probes.dir()).entryList({QStringLiteral("*.interp")}))
        endOrphan(name.section(u'.', 0, 0).toLongLong(), rig.tree.appDir());

    running.terminate();
    QVERIFY(running.waitForFinished(10000));
    QCOMPARE(runningLog.signalsOf(runningPid), QStringList{"TERM"});
}

QTEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
