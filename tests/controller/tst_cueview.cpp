// The real cueview, headless in a throw-away home with a probe as its engine, ended by a signal as a
// session ends it: how it starts its engine, that it asks that engine (and only that one) to stop and
// kills it after a second if it stays, that a hung update check does not keep it from ending, and that
// killed it leaves no engine.

#include "support/Support.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
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
    if (pid <= 0) // waitpid would take any child
        return;
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
        QTest::newRow("SIGHUP") << "engine" << int(SIGHUP);
        QTest::newRow("engine already running") << "running" << int(SIGTERM);
        QTest::newRow("update check hangs") << "hung" << int(SIGTERM);
        // Nothing catches SIGKILL: the real engine still ends, and with it what it started (a helper here).
        QTest::newRow("SIGKILL, the real engine") << "killed" << int(SIGKILL);
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
        const QString pids = tree.root() + QStringLiteral("/pids"); // of the hung update check, or engine and helper
        if (setup == "hung")
            tree.write(tree.appDir() + QStringLiteral("/update_check.py"),
                       "import os, time\nopen('" + pids.toUtf8() +
                           "', 'w').write(str(os.getpid()))\ntime.sleep(600)\n");
        const QString wrapper = tree.write(tree.root() + QStringLiteral("/python"),
                                           "#!/bin/sh\ncase $1 in *live_next*) sleep 600 & echo $$ $! > " +
                                               pids.toUtf8() + ";; esac\nexec " + kPython.toUtf8() + " \"$@\"\n");
        QFile::setPermissions(wrapper, QFile::ReadOwner | QFile::ExeOwner);

        QProcess overlay;
        const bool stays = sig != SIGHUP; // on SIGTERM
        QProcessEnvironment env =
            probes.environment({{"CW_PROBE_ON_TERM", stays ? "stay" : "exit"}, {"CW_PROBE_LIFETIME", "60"}});
        env.insert(QStringLiteral("HOME"), tree.home());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("TRK_PYTHON"), setup == "killed" ? wrapper : kPython);
        env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("0"));
        env.insert(QStringLiteral("CW_TEST_MARKER"), QStringLiteral("from the session"));
        const QByteArray enginePort = QByteArray::number(FeedServer::unusedPort()); // where the real one settles
        env.insert(QStringLiteral("CW_ENGINE_PORT"), enginePort);
        overlay.setProcessEnvironment(env);
        overlay.setWorkingDirectory(setup == "killed" ? QStringLiteral(CW_SOURCE_DIR "/resources/app") : tree.appDir());
        overlay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        overlay.start(kCueview, {});
        QVERIFY(overlay.waitForStarted(10000));
        QList<qint64> started; // by the wrapper: the engine, and the helper it left
        const auto cleanup = qScopeGuard([&] {
            overlay.kill();
            overlay.waitForFinished(5000);
            for (qint64 pid : probes.started())
                reap(pid, script);
            reap(started.value(0), QStringLiteral("live_next"));
            reap(started.value(1), QStringLiteral("sleep"));
            reap(readAll(pids).toLongLong(), QStringLiteral("python")); // the hung update check
        });

        qint64 engine = 0;
        if (setup == "engine") { // started as PY SCRIPT in the resource directory, with cueview's environment
            QTRY_COMPARE_WITH_TIMEOUT(probes.started().size(), 1, 20000);
            engine = probes.started().first();
            const QJsonObject start = probes.start(engine);
            QCOMPARE(start.value("argv").toVariant().toStringList(), (QStringList{kPython, script}));
            QCOMPARE(start.value("cwd").toString(), QFileInfo(tree.appDir()).canonicalFilePath());
            QCOMPARE(start.value("ppid").toInteger(), overlay.processId());
            const QJsonObject engineEnv = start.value("env").toObject();
            QCOMPARE(engineEnv.value("PYTHONDONTWRITEBYTECODE").toString() +
                         engineEnv.value("CW_TEST_MARKER").toString(),
                     QStringLiteral("1from the session"));
        } else if (setup == "running") { // the launch ping and the first poll reached it
            QTRY_VERIFY_WITH_TIMEOUT(running.requests() >= 2, 20000);
        } else if (setup == "hung") {
            QTRY_VERIFY_WITH_TIMEOUT(processAlive(readAll(pids).toLongLong()), 20000);
        } else if (setup == "killed") { // serving, so its signal handlers are in place
            QTRY_COMPARE_WITH_TIMEOUT(readAll(tree.support() + QStringLiteral("/port")).trimmed(), enginePort, 20000);
            for (const QByteArray& pid : readAll(pids).trimmed().split(' '))
                started.append(pid.toLongLong());
            QVERIFY(processAlive(started.value(0), "live_next") && processAlive(started.value(1), "sleep"));
        }

        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(overlay.processId()), sig);
        QVERIFY(overlay.waitForFinished(10000));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(sig == SIGKILL ? overlay.exitStatus() == QProcess::CrashExit
                               : overlay.exitStatus() == QProcess::NormalExit && overlay.exitCode() == 0);
        if (setup == "engine") { // asked to stop, waited for a second at most, then killed
            QCOMPARE(probes.signalsOf(engine).value(0), QStringLiteral("TERM"));
            QTRY_VERIFY_WITH_TIMEOUT(!processAlive(engine), 1000);
            QVERIFY2(stays == (clock.elapsed() >= 900), qPrintable(QString::number(clock.elapsed())));
        }
        if (setup == "running") { // no engine started where one answered, and the one found left alone
            QVERIFY(!QTest::qWaitFor([&] { return !probes.started().isEmpty(); }, 300));
            QVERIFY(running.probes().signalsOf(running.probes().started().value(0)).isEmpty());
        }
        if (setup == "hung")
            QVERIFY(processAlive(readAll(pids).toLongLong()));
        if (setup == "killed") {
            QTRY_VERIFY_WITH_TIMEOUT(!processAlive(started.value(0)) && !processAlive(started.value(1)), 10000);
            QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        }
    }
};

QTEST_MAIN(TestCueview)
#include "tst_cueview.moc"
