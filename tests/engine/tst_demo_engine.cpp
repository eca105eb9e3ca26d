// The panel against the real demo engine of the application tree, started by the controller as in the
// product: within seconds it shows a playing track and filled rows, follows the set as it moves on, and
// asking the controller to terminate ends the engine. Settings point DIR at the built resource
// directory and HOME at a throw-away tree, which the engine inherits.

#include "config/Settings.h"
#include "config/Texts.h"
#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/Probe.h"
#include "support/TestTree.h"
#include "ui/DragRow.h"
#include "ui/TextLabel.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTest>

#include <csignal>

using namespace cw;

namespace {

const QString kAppDir = QStringLiteral(CW_BUNDLE_DIR "/Contents/Resources/app");

// Whatever a failed check leaves running is killed by PID when the test ends.
struct EngineGuard {
    qint64 pid = 0;
    ~EngineGuard() {
        if (test::processRuns(pid, QStringLiteral("live_next")))
            ::kill(pid_t(pid), SIGKILL);
    }
};

quint16 closedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class TestDemoEngine : public QObject {
    Q_OBJECT
private slots:
    void panelFollowsTheDemoSetAndQuittingEndsTheEngine();
};

void TestDemoEngine::panelFollowsTheDemoSetAndQuittingEndsTheEngine() {
    QVERIFY2(QFileInfo::exists(kAppDir + QStringLiteral("/engine/main.py")), qPrintable(kAppDir));
    test::TestTree tree;
    qputenv("HOME", tree.home().toUtf8());
    qputenv("PYTHONDONTWRITEBYTECODE", "1");
    qputenv("CW_DEMO_WAIT", "1");
    qputenv("CW_DEMO_INTERVAL", "3");
    // Any free port: the product's default may belong to an engine of another test running alongside.
    qputenv("CW_ENGINE_PORT", "0");

    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), test::pythonPath());
    installSettings(computeSettings(StartupInputs{kAppDir, tree.home(), env, {QStringLiteral("en-US")}}));
    // A port file naming a port nobody serves, so the launch ping cannot find some other engine.
    const qint64 dead = closedPort();
    tree.write(settings().SUPPORT + QStringLiteral("/port"), QByteArray::number(dead) + '\n');

    AppDelegate d;
    d.pollIntervalMs = 500;
    d.applicationDidFinishLaunching();
    QVERIFY(d.pyProc && d.pyProc->running());
    EngineGuard guard{d.pyProc->pid()};

    QTRY_VERIFY_WITH_TIMEOUT(enginePort() != dead, 10000);
    const QString loading = L(QStringLiteral("loading"));
    const QString waiting = L(QStringLiteral("waiting"));
    const auto playing = [&] {
        const QString title = d.nowTitle->text();
        return title != loading && title != waiting && !title.isEmpty() && !d.rows[0]->isHidden() &&
               d.rows[0]->title->text() != QStringLiteral("—");
    };
    QTRY_VERIFY_WITH_TIMEOUT(playing(), 20000);

    QVERIFY2(d.nowMeta->text().contains(QStringLiteral(" BPM · ")), qPrintable(d.nowMeta->text()));
    qsizetype shown = 0;
    for (DragRow* row : std::as_const(d.rows)) {
        if (row->isHidden())
            continue;
        ++shown;
        QVERIFY2(QFileInfo(row->path).isFile(), qPrintable(row->path));
        QVERIFY2(row->path.startsWith(settings().SUPPORT + QStringLiteral("/demo/crate/")), qPrintable(row->path));
        QVERIFY2(row->meta->text().endsWith(QStringLiteral("  ·  demo")), qPrintable(row->meta->text()));
    }
    QCOMPARE(shown, d.rows.size());
    QVERIFY(!d.freshRows.isEmpty());

    // The set moves on and the panel follows it.
    const QString first = d.nowTitle->text();
    QTRY_VERIFY_WITH_TIMEOUT(d.nowTitle->text() != first && playing(), 20000);

    const qint64 pid = guard.pid;
    d.applicationWillTerminate();
    QTRY_VERIFY_WITH_TIMEOUT(!test::processAlive(pid), 3000);
}

QTEST_MAIN(TestDemoEngine)
#include "tst_demo_engine.moc"
