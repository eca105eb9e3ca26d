// The panel against the real demo engine of the application tree, started by the controller as in the
// product: within seconds it shows a playing track and filled rows, follows the set as it moves on, and
// terminating the controller ends the engine. HOME is a throw-away tree, which the engine inherits.

#include "config/Settings.h"
#include "config/Texts.h"
#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/HttpTestServer.h"
#include "support/Probe.h"
#include "support/TestTree.h"
#include "ui/DragRow.h"
#include "ui/TextLabel.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <csignal>

using namespace cw;

class TestDemoEngine : public QObject {
    Q_OBJECT
private slots:
    void panelFollowsTheDemoSetAndQuittingEndsTheEngine();
};

void TestDemoEngine::panelFollowsTheDemoSetAndQuittingEndsTheEngine() {
    const QString appDir = QStringLiteral(CW_BUNDLE_DIR "/Contents/Resources/app");
    QVERIFY2(QFileInfo::exists(appDir + QStringLiteral("/engine/main.py")), qPrintable(appDir));
    test::TestTree tree;
    qputenv("HOME", tree.home().toUtf8());
    qputenv("PYTHONDONTWRITEBYTECODE", "1");
    qputenv("CW_DEMO_WAIT", "1");
    qputenv("CW_DEMO_INTERVAL", "3");
    // Any free port: the product's default may belong to an engine of another test running alongside.
    qputenv("CW_ENGINE_PORT", "0");
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), test::pythonPath());
    installSettings(computeSettings(StartupInputs{appDir, tree.home(), env, {QStringLiteral("en-US")}}));
    // A port file naming a port nobody serves, so the launch ping cannot find some other engine.
    const quint16 dead = test::HttpTestServer::unusedPort();
    tree.write(settings().SUPPORT + QStringLiteral("/port"), QByteArray::number(dead) + '\n');

    AppDelegate d;
    d.pollIntervalMs = 500;
    d.applicationDidFinishLaunching();
    QVERIFY(d.pyProc && d.pyProc->running());
    // Whatever a failed check leaves running is killed by PID when the test ends.
    const qint64 pid = d.pyProc->pid();
    const auto guard = qScopeGuard([pid] {
        if (test::processRuns(pid, QStringLiteral("live_next")))
            ::kill(pid_t(pid), SIGKILL);
    });

    QTRY_VERIFY_WITH_TIMEOUT(enginePort() != dead, 10000);
    const auto playing = [&] {
        const QString title = d.nowTitle->text();
        return !title.isEmpty() && title != L(QStringLiteral("loading")) && title != L(QStringLiteral("waiting")) &&
               !d.rows[0]->isHidden() && d.rows[0]->title->text() != QStringLiteral("—");
    };
    QTRY_VERIFY_WITH_TIMEOUT(playing(), 20000);
    QVERIFY2(d.nowMeta->text().contains(QStringLiteral(" BPM · ")), qPrintable(d.nowMeta->text()));
    for (DragRow* row : std::as_const(d.rows)) {
        QVERIFY(!row->isHidden());
        QVERIFY2(QFileInfo(row->path).isFile(), qPrintable(row->path));
        QVERIFY2(row->path.startsWith(settings().SUPPORT + QStringLiteral("/demo/crate/")), qPrintable(row->path));
        QVERIFY2(row->meta->text().endsWith(QStringLiteral("  ·  demo")), qPrintable(row->meta->text()));
    }

    // The set moves on and the panel follows it.
    const QString first = d.nowTitle->text();
    QTRY_VERIFY_WITH_TIMEOUT(d.nowTitle->text() != first && playing(), 20000);

    d.applicationWillTerminate();
    QTRY_VERIFY_WITH_TIMEOUT(!test::processAlive(pid), 3000);
}

QTEST_MAIN(TestDemoEngine)
#include "tst_demo_engine.moc"
