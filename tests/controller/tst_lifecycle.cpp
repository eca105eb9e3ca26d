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
#include <QFile>
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
// cueview has exited): SIGKILL while its command line still names needle, then reap it once it became
// our child (we are a subreaper), or wait until it is gone.
void endOrphan(qint64 pid, const QString& needle) {
    if (processRuns(pid, needle))
        ::kill(pid_t(pid), SIGKILL);
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const pid_t reaped = ::waitpid(pid_t(pid), nullptr, WNOHANG);
        if (reaped == pid_t(pid) || (reaped < 0 && !processAlive(pid)))
            return;
        QThread::msleep(10);
    }
}

// Every process the rig's fake interpreter became, probe or not.
void endInterpreterRuns(const EngineRig& rig) {
    for (const QString& name : QDir(rig.probes.dir()).entryList({QStringLiteral("*.interp")}))
        endOrphan(name.section(u'.', 0, 0).toLongLong(), rig.tree.appDir());
}

// No run of the rig's interpreter was an engine start.
bool noEngineStarted(const EngineRig& rig) {
    const QList<QStringList> runs = rig.probes.interpreterRuns();
    return rig.probes.pids().isEmpty() && !runs.contains(QStringList{rig.script()});
}

// cueview run from the build's application tree, in the rig's resource directory and home.
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
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(kCueview, {});
    }
    ~Overlay() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    // Sends sig and waits for a clean exit.
    bool endsOn(int sig) {
        ::kill(pid_t(process.processId()), sig);
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
};

} // namespace

class TestLifecycle : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(kCueview).isExecutable(), qPrintable(kCueview));
        QVERIFY(!pythonPath().isEmpty());
        // Engines whose cueview has exited become our children, so we can reap them.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void launch_data() {
        QTest::addColumn<HttpTestServer::Reply>("serverReply");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<bool>("startsEngine");
        QTest::addColumn<bool>("goodPoll");
        QTest::newRow("engine answers") << HttpTestServer::reply(Behaviour::Respond, 200, kDocument) << false << false
                                        << true;
        // A 503 is down for the ping, yet its document is applied by the poll.
        QTest::newRow("engine answers 503")
            << HttpTestServer::reply(Behaviour::Respond, 503, kDocument) << false << true << true;
        QTest::newRow("no engine") << HttpTestServer::Reply() << true << true << false;
    }
    void launch() {
        QFETCH(HttpTestServer::Reply, serverReply);
        QFETCH(bool, refused);
        QFETCH(bool, startsEngine);
        QFETCH(bool, goodPoll);
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
        QCOMPARE(judged.at(0).at(0).toBool(), goodPoll);
        QCOMPARE(server.requestCount(), refused ? 0 : 2); // the ping and the first poll
        QCOMPARE(bool(d.pyProc), startsEngine);
        if (!startsEngine) {
            QTest::qWait(300);
            QVERIFY(noEngineStarted(rig));
            d.applicationWillTerminate(); // nothing of ours to stop
            return;
        }
        if (!goodPoll) { // a failed first poll leaves the launch labels as they were
            QCOMPARE(d.nowTitle->text(), L(QStringLiteral("loading")));
            QCOMPARE(d.nxLab->text(), L(QStringLiteral("play_next")));
            QCOMPARE(d.nowMeta->text() + d.rutLab->text(), QString());
        }
        QVERIFY(d.pyProc->started());
        const QList<qint64> pids = rig.waitForProbes(1);
        QCOMPARE(pids.size(), 1);
        QCOMPARE(rig.probes.record(pids.first())->interpreterArgs, QStringList{rig.script()});
        d.applicationWillTerminate();
        QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(pids.first()), QStringList{"TERM"}, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!d.pyProc->running(), 10000);
    }

    void ticksPoll() {
        EngineRig rig;
        HttpTestServer server;
        server.respond(200, kDocument);
        rig.setPort(server.port());
        AppDelegate d;
        d.pollIntervalMs = 150;
        d.applicationDidFinishLaunching();
        QTRY_VERIFY_WITH_TIMEOUT(server.requestCount() >= 5, 10000); // the ping, then poll after poll
    }

    void signalEndsOverlayAndAsksItsEngineToStop_data() {
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void signalEndsOverlayAndAsksItsEngineToStop() {
        QFETCH(int, sig);
        // The engine records SIGTERM but keeps running: an overlay that waited for it would not exit.
        EngineRig rig({{QStringLiteral("CW_PROBE_ON_TERM"), QStringLiteral("stay")},
                       {QStringLiteral("CW_PROBE_LIFETIME"), QStringLiteral("60")}});
        rig.setPort(HttpTestServer::unusedPort());
        Overlay overlay(rig);
        QVERIFY(overlay.process.waitForStarted(10000));
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
        for (int fd : {1, 2}) // its output goes nowhere
            QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(engine).arg(fd)), "/dev/null");

        QVERIFY(overlay.endsOn(sig));
        QTRY_COMPARE_WITH_TIMEOUT(rig.probes.signalsOf(engine), QStringList{"TERM"}, 10000);
        QVERIFY(processAlive(engine)); // asked to stop, not waited for
        QTest::qWait(200);
        QCOMPARE(rig.probes.signalsOf(engine), QStringList{"TERM"}); // once

        endOrphan(engine, rig.script());
        endInterpreterRuns(rig);
    }

    void engineFoundAtLaunchIsLeftAlone() {
        EngineRig rig;
        // The engine already running when the overlay starts: a serving probe of our own.
        ProbeLog runningLog;
        const quint16 port = HttpTestServer::unusedPort();
        const QString python =
            runningLog.installInterpreter(rig.tree.root() + QStringLiteral("/running/python3"),
                                          {{QStringLiteral("CW_PROBE_SERVE_PORT"), QString::number(port)},
                                           {QStringLiteral("CW_PROBE_LIFETIME"), "60"}});
        QProcess running;
        running.start(python, {runningLog.installEngine(rig.tree.root() + QStringLiteral("/running/engine.py"))});
        QVERIFY(running.waitForStarted(10000));
        const qint64 runningPid = running.processId();
        QTRY_VERIFY_WITH_TIMEOUT(runningLog.ready(runningPid), 20000);
        rig.setPort(port);

        Overlay overlay(rig);
        QVERIFY(overlay.process.waitForStarted(10000));
        // The launch ping and the first poll reached it.
        QTRY_VERIFY_WITH_TIMEOUT(runningLog.requestsOf(runningPid).size() >= 2, 20000);
        QVERIFY(overlay.endsOn(SIGTERM));

        QTest::qWait(300);
        QCOMPARE(running.state(), QProcess::Running);
        QVERIFY(runningLog.signalsOf(runningPid).isEmpty());
        QVERIFY(noEngineStarted(rig));
        endInterpreterRuns(rig);

        running.terminate();
        QVERIFY(running.waitForFinished(10000));
        QCOMPARE(runningLog.signalsOf(runningPid), QStringList{"TERM"});
    }
};

QTEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
