// The update check, the update button and the settings button, against real interpreters and scripts in a
// throw-away resource directory. Opening an address is observed through a URL handler for http and https,
// so no browser starts.

#include "controller/AppDelegate.h"
#include "support/HttpTestServer.h"
#include "support/TestTree.h"
#include "ui/KeyPanel.h"
#include "ui/TintButton.h"

#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

using namespace cw;
using cw::test::TestTree;

namespace {

QByteArray shellQuote(const QString& text) {
    QByteArray bytes = text.toUtf8();
    bytes.replace('\'', "'\\''");
    return '\'' + bytes + '\'';
}

QString writeExecutable(const TestTree& tree, const QString& name, const QByteArray& text) {
    const QString path = tree.write(tree.root() + u'/' + name, text);
    QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Alive or not yet reaped.
bool alive(qint64 pid) {
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

// A stand-in for PY that hangs when asked to run the update check (recording its pid) and otherwise ends at
// once. It hangs reading a FIFO whose writing end only this test holds (no child inherits it), so it hangs
// until it is killed or the test ends, and never outlives the test.
class HangingPython {
public:
    explicit HangingPython(const TestTree& tree) : m_pidFile(tree.root() + QStringLiteral("/hung.pid")) {
        const QString fifo = tree.root() + QStringLiteral("/tether");
        if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0)
            m_fd = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_CLOEXEC);
        tree.writeApp(QStringLiteral("update_check.py"), "\n");
        path = writeExecutable(tree, QStringLiteral("python"),
                               "#!/bin/bash\ncase \"$1\" in\n*update_check*) echo $$ > " + shellQuote(m_pidFile) +
                                   "; exec cat " + shellQuote(fifo) + " ;;\nesac\n");
    }
    ~HangingPython() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    HangingPython(const HangingPython&) = delete;
    HangingPython& operator=(const HangingPython&) = delete;

    bool ok() const { return m_fd >= 0; }
    qint64 pid() const { return readFile(m_pidFile).trimmed().toLongLong(); }
    QString path;

private:
    QString m_pidFile;
    int m_fd = -1;
};

std::unique_ptr<AppDelegate> builtController(const TestTree& tree, const QString& python) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), python);
    env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("en"));
    tree.install(env);
    auto d = std::make_unique<AppDelegate>();
    d->build();
    return d;
}

// Runs the application loop with action queued first; true when something quits the loop (exit status 0)
// before timeoutMs, false when the loop had to be stopped from here.
bool loopQuitsAfter(const std::function<void()>& action, int timeoutMs) {
    bool stoppedHere = false;
    const QObject scope; // the watchdog goes with it, so it cannot fire after this returns
    QTimer::singleShot(0, qApp, action);
    QTimer::singleShot(timeoutMs, &scope, [&stoppedHere] {
        stoppedHere = true;
        QCoreApplication::exit(99);
    });
    return QCoreApplication::exec() == 0 && !stoppedHere;
}

} // namespace

class TestUpdateCheck : public QObject {
    Q_OBJECT

public slots:
    // The URL handler: what would have gone to the browser.
    void openUrl(const QUrl& url) { m_opened << url; }

private:
    QList<QUrl> m_opened;

private slots:
    void initTestCase() {
        const QUrl page(AppDelegate::downloadPage());
        QVERIFY(page.scheme() == QStringLiteral("https") && !page.host().isEmpty());
        QCOMPARE(page.path(), QStringLiteral("/download"));
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
    }
    void cleanupTestCase() {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }
    void init() { m_opened.clear(); }

    void report_data() {
        QTest::addColumn<QByteArray>("output"); // what the update script prints
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("address"); // updateURL afterwards; empty means the download page
        QTest::addColumn<bool>("opens");      // whether the button opens it

        const QString elsewhere = QStringLiteral("https://downloads.example.org/warden-2.dmg");
        QTest::newRow("available, no url: the download page")
            << QByteArray("{\"available\": true}") << true << QString() << true;
        QTest::newRow("available with url")
            << "{\"available\": true, \"url\": \"" + elsewhere.toUtf8() + "\"}" << true << elsewhere << true;
        QTest::newRow("url that does not parse: opens nothing")
            << QByteArray("{\"available\": true, \"url\": \"https://example.org/a b\"}") << true
            << QStringLiteral("https://example.org/a b") << false;
        QTest::newRow("not available, with url")
            << QByteArray("{\"available\": false, \"url\": \"https://x.example/\"}") << false << QString() << false;
        QTest::newRow("a line of text before the JSON")
            << QByteArray("checking for updates\n{\"available\": true}") << false << QString() << false;
        QTest::newRow("more output than a pipe holds")
            << "{\"available\": true, \"notes\": \"" + QByteArray(400000, 'x') + "\"}" << true << QString() << true;
    }
    void report() {
        QFETCH(QByteArray, output);
        QFETCH(bool, shown);
        QFETCH(QString, address);
        QFETCH(bool, opens);
        if (address.isEmpty())
            address = AppDelegate::downloadPage();
        TestTree tree;
        tree.writeApp(QStringLiteral("update_check.py"), "# the source\n");
        tree.writeApp(QStringLiteral("update_check.pyc"), "# preferred over the source\n");
        // PY records how it was run, says something on stderr, then prints the script's output.
        const QString argvFile = tree.root() + QStringLiteral("/argv");
        const QString outputFile = tree.write(tree.root() + QStringLiteral("/output"), output + '\n');
        const QString python =
            writeExecutable(tree, QStringLiteral("fake python"),
                            "#!/bin/sh\nprintf '%s\\n' \"$@\" \"$(pwd -P)\" > " + shellQuote(argvFile) +
                                "\necho noise >&2\nexec cat " + shellQuote(outputFile) + "\n");
        auto d = builtController(tree, python);
        QVERIFY(d->btnUpdate && d->btnUpdate->isHidden());
        QCOMPARE(d->updateURL, AppDelegate::downloadPage());

        QSignalSpy finished(d.get(), &AppDelegate::updateCheckFinished);
        d->checkForUpdate();
        QVERIFY(finished.wait(15000));
        QCOMPARE(finished.first().first().toBool(), shown);
        QCOMPARE(readFile(argvFile), QFile::encodeName(tree.appDir() + QStringLiteral("/update_check.pyc\n") +
                                                       QFileInfo(tree.appDir()).canonicalFilePath() + u'\n'));
        QCOMPARE(d->btnUpdate->isHidden(), !shown);
        QCOMPARE(d->updateURL, address);
        QVERIFY(m_opened.isEmpty());
        if (shown) {
            d->btnUpdate->click();
            QCOMPARE(m_opened, opens ? QList<QUrl>{QUrl(address)} : QList<QUrl>{});
        }
    }

    void hungScriptLeavesPanelWorking() {
        TestTree tree;
        HangingPython python(tree);
        QVERIFY(python.ok());
        auto d = builtController(tree, python.path);
        QSignalSpy finished(d.get(), &AppDelegate::updateCheckFinished);

        QElapsedTimer clock;
        clock.start();
        d->checkForUpdate();
        QVERIFY2(clock.elapsed() < 500, "checkForUpdate must return at once");
        QTRY_VERIFY_WITH_TIMEOUT(python.pid() > 0, 10000);
        const qint64 pid = python.pid();

        // The main thread keeps running events and actions while the script hangs.
        bool ticked = false;
        QTimer::singleShot(50, this, [&ticked] { ticked = true; });
        QTRY_VERIFY_WITH_TIMEOUT(ticked, 2000);
        d->openUpdate();
        QCOMPARE(m_opened, QList<QUrl>{QUrl(AppDelegate::downloadPage())});
        QVERIFY(d->btnUpdate->isHidden());
        QVERIFY(alive(pid));
        QVERIFY(finished.isEmpty());

        // Once the script is gone the check ends with nothing to show, and the worker reaps it.
        ::kill(pid_t(pid), SIGKILL);
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first().first().toBool(), false);
        QVERIFY(d->btnUpdate->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(!alive(pid), 5000);
    }

    void quittingDoesNotWaitForHungCheck() {
        // The real overlay, quit by SIGTERM while its update script hangs; its engine ends at once.
        TestTree tree;
        HangingPython python(tree);
        QVERIFY(python.ok());
        tree.write(tree.home() + QStringLiteral("/Library/Application Support/Crate Warden/port"),
                   QByteArray::number(test::HttpTestServer::unusedPort()) + '\n');
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), tree.home());
        env.insert(QStringLiteral("TRK_PYTHON"), python.path);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess overlay;
        overlay.setProcessEnvironment(env);
        overlay.setWorkingDirectory(tree.appDir());
        overlay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        overlay.start(QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/cueview"), {});
        QVERIFY(overlay.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(python.pid() > 0, 20000);
        const qint64 pid = python.pid();

        QElapsedTimer clock;
        clock.start();
        overlay.terminate();
        const bool ended = overlay.waitForFinished(10000);
        const qint64 ms = clock.elapsed();
        const bool stillHung = alive(pid);
        ::kill(pid_t(pid), SIGKILL);
        QVERIFY(ended);
        QCOMPARE(overlay.exitCode(), 0);
        QVERIFY2(ms < 5000, qPrintable(QString::number(ms)));
        QVERIFY(stillHung);
        QTRY_VERIFY_WITH_TIMEOUT(!alive(pid), 5000);
    }

    void settingsButtonQuits_data() {
        QTest::addColumn<bool>("shellStarts");
        QTest::newRow("setup starts") << true;
        QTest::newRow("shell cannot be started") << false;
    }
    void settingsButtonQuits() {
        QFETCH(bool, shellStarts);
        TestTree tree;
        const QString recorded = tree.root() + QStringLiteral("/setup.argv");
        tree.writeApp(QStringLiteral("overlay"),
                      "{ printf '%s\\0' \"$0\" \"$@\"; pwd -P; } > " + shellQuote(recorded) + "\n");
        auto d = builtController(tree, QStringLiteral("/no/python3"));
        d->setupShell = shellStarts ? QStringLiteral("/bin/bash") : tree.root() + QStringLiteral("/no/such/bash");
        auto* button = d->panel->findChild<TintButton*>(QStringLiteral("settingsButton"));
        QVERIFY(button);

        QVERIFY(loopQuitsAfter([button] { button->click(); }, 10000));
        if (shellStarts)
            QTRY_COMPARE_WITH_TIMEOUT(readFile(recorded),
                                      QFile::encodeName(tree.appDir() + QStringLiteral("/overlay")) + '\0' + "--setup" +
                                          '\0' + QFile::encodeName(QDir::current().canonicalPath()) + '\n',
                                      10000);
        else
            QVERIFY(!QFile::exists(recorded));
    }
};

QTEST_MAIN(TestUpdateCheck)
#include "tst_update_check.moc"
