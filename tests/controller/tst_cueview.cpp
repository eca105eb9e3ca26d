// The real cueview, run headless in a throw-away home and resource directory with a probe as its engine,
// and ended by a signal as a desktop session ends it: how it starts its engine, that it asks that engine
// (and only that one) to stop without waiting, and that neither a hung update check nor a support
// directory it cannot create keeps it from running and ending cleanly.

#include "support/Support.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QScopeGuard>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

using namespace cw::test;

namespace {

const QString kCueview = QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/cueview");

// Ends a process this test answers for (an orphan of cueview's, which became our child): SIGKILL while
// its command line names needle, then reaped, or waited for until it is gone.
void reap(qint64 pid, const QString& needle) {
    if (processAlive(pid, needle))
        ::kill(pid_t(pid), SIGKILL);
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(10)) {
        const pid_t reaped = ::waitpid(pid_t(pid), nullptr, WNOHANG);
        if (reaped == pid_t(pid) || (reaped < 0 && !processAlive(pid)))
            return;
    }
}

} // namespace

class TestCueview : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(kCueview).isExecutable(), qPrintable(kCueview));
        // Engines whose cueview has exited become our children, so we can reap them.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void endsOnSignal_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGTERM") << "engine" << int(SIGTERM);
        QTest::newRow("SIGINT") << "engine" << int(SIGINT);
        QTest::newRow("SIGHUP") << "engine" << int(SIGHUP);
        QTest::newRow("engine already running") << "running" << int(SIGTERM);
        QTest::newRow("update check hangs") << "hung" << int(SIGTERM);
        QTest::newRow("support directory cannot be made") << "nosupport" << int(SIGTERM);
    }
    void endsOnSignal() {
        QFETCH(QString, setup);
        QFETCH(int, sig);
        TestTree tree;
        Probes probes;
        const QString script = probes.installEngine(tree.appDir() + QStringLiteral("/live_next.py"));
        // An engine already serving, or a port where nothing answers; the probe records SIGTERM but stays.
        FeedServer running({200, R"({"ok": false})"});
        const quint16 port = setup == "running" ? running.port() : FeedServer::unusedPort();
        tree.write(tree.support() + QStringLiteral("/port"), QByteArray::number(port));
        const QString hungPid = tree.root() + QStringLiteral("/update.pid");
        if (setup == "hung")
            tree.write(tree.appDir() + QStringLiteral("/update_check.py"),
                       "import os, time\nopen(" + ("'" + hungPid + "'").toUtf8() +
                           ", 'w').write(str(os.getpid()))\ntime.sleep(600)\n");
        const QString blocker = tree.home() + QStringLiteral("/Library/Application Support");
        if (setup == "nosupport") {
            QFile::remove(tree.support() + QStringLiteral("/port"));
            QDir(blocker).removeRecursively();
            tree.write(blocker, "keep me");
        }

        QProcess overlay;
        QProcessEnvironment env = probes.environment({{QStringLiteral("CW_PROBE_ON_TERM"), QStringLiteral("stay")},
                                                      {QStringLiteral("CW_PROBE_LIFETIME"), QStringLiteral("60")}});
        env.insert(QStringLiteral("HOME"), tree.home());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("TRK_PYTHON"), setup == "nosupport" ? QStringLiteral("/no/python3") : pythonPath());
        env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("0"));
        env.insert(QStringLiteral("CW_TEST_MARKER"), QStringLiteral("from the session"));
        overlay.setProcessEnvironment(env);
        overlay.setWorkingDirectory(tree.appDir());
        overlay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        overlay.start(kCueview, {});
        QVERIFY(overlay.waitForStarted(10000));
        const auto cleanup = qScopeGuard([&] {
            overlay.kill();
            overlay.waitForFinished(5000);
            for (qint64 pid : probes.started())
                reap(pid, script);
            reap(readAll(hungPid).toLongLong(), QStringLiteral("python"));
        });

        qint64 engine = 0;
        if (setup == "engine") { // started as PY SCRIPT in the resource directory, with cueview's environment
            QTRY_COMPARE_WITH_TIMEOUT(probes.started().size(), 1, 20000);
            engine = probes.started().first();
            const QJsonObject start = probes.start(engine);
            QCOMPARE(start.value("argv").toVariant().toStringList(), (QStringList{pythonPath(), script}));
            QCOMPARE(start.value("cwd").toString(), QFileInfo(tree.appDir()).canonicalFilePath());
            QCOMPARE(start.value("ppid").toInteger(), overlay.processId());
            const QJsonObject engineEnv = start.value("env").toObject();
            QCOMPARE(engineEnv.value("PYTHONDONTWRITEBYTECODE").toString(), QStringLiteral("1"));
            QCOMPARE(engineEnv.value("CW_TEST_MARKER").toString(), QStringLiteral("from the session"));
            for (int fd : {1, 2}) // its output goes nowhere
                QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(engine).arg(fd)), "/dev/null");
        } else if (setup == "running") { // the launch ping and the first poll reached it
            QTRY_VERIFY_WITH_TIMEOUT(running.requests() >= 2, 20000);
        } else if (setup == "hung") {
            QTRY_VERIFY_WITH_TIMEOUT(processAlive(readAll(hungPid).toLongLong()), 20000);
        } else {
            QVERIFY2(!overlay.waitForFinished(2500), "the overlay ended by itself");
        }

        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(overlay.processId()), sig);
        QVERIFY(overlay.waitForFinished(10000));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(overlay.exitStatus(), QProcess::NormalExit);
        QCOMPARE(overlay.exitCode(), 0);
        if (setup == "engine") { // asked to stop once, not waited for
            QTRY_COMPARE_WITH_TIMEOUT(probes.signalsOf(engine), QStringList{"TERM"}, 10000);
            QVERIFY(processAlive(engine));
            QVERIFY(!QTest::qWaitFor([&] { return probes.signalsOf(engine).size() > 1; }, 300));
        }
        if (setup == "running") { // no engine started where one answered, and the one found left alone
            QVERIFY(!QTest::qWaitFor([&] { return !probes.started().isEmpty(); }, 300));
            QVERIFY(running.probes().signalsOf(running.probes().started().value(0)).isEmpty());
        }
        if (setup == "hung")
            QVERIFY(processAlive(readAll(hungPid).toLongLong()));
        if (setup == "nosupport")
            QCOMPARE(readAll(blocker), QByteArray("keep me"));
    }
};

QTEST_MAIN(TestCueview)
#include "tst_cueview.moc"
