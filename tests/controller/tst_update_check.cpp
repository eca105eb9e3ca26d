// The update check, the update button and the settings button, against real interpreters and scripts in a
// throw-away resource directory. Opening an address is observed through a URL handler for http and https,
// so no browser starts.

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "support/TestTree.h"
#include "ui/KeyPanel.h"
#include "ui/TintButton.h"

#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

using namespace cw;

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");

QByteArray shellQuote(const QString& text) {
    QByteArray bytes = text.toUtf8();
    bytes.replace('\'', "'\\''");
    return '\'' + bytes + '\'';
}

QString writeExecutable(const test::TestTree& tree, const QString& name, const QByteArray& text) {
    const QString path = tree.write(tree.root() + u'/' + name, text);
    QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QProcessEnvironment withPython(const QString& python) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), python);
    env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("en"));
    return env;
}

// A FIFO whose writing end this test process holds (and no child inherits). A fake that hangs by reading it
// hangs until it is killed or this process ends, so no fake outlives the test.
class Tether {
public:
    explicit Tether(const QString& path) : m_path(path) {
        if (::mkfifo(QFile::encodeName(path).constData(), 0600) == 0)
            m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    }
    ~Tether() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Tether(const Tether&) = delete;
    Tether& operator=(const Tether&) = delete;

    bool ok() const { return m_fd >= 0; }
    // Shell commands that record their pid in pidFile and then hang with their output still open.
    QByteArray hang(const QString& pidFile) const {
        return "echo $$ > " + shellQuote(pidFile) + "; exec cat " + shellQuote(m_path);
    }

private:
    QString m_path;
    int m_fd = -1;
};

qint64 readPid(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

bool alive(qint64 pid) {
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

// Runs the application loop with action queued first; true when something quits the loop (exit status 0)
// before timeoutMs, false when the loop had to be stopped from here.
bool loopQuitsAfter(const std::function<void()>& action, int timeoutMs) {
    bool stoppedHere = false;
    QTimer::singleShot(0, qApp, action);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, qApp, [&stoppedHere] {
        stoppedHere = true;
        QCoreApplication::exit(99);
    });
    watchdog.start(timeoutMs);
    const int status = QCoreApplication::exec();
    return !stoppedHere && status == 0;
}

} // namespace

class TestUpdateCheck : public QObject {
    Q_OBJECT

public slots:
    // The URL handler: what would have gone to the browser.
    void openUrl(const QUrl& url) { m_opened << url; }

private:
    QList<QUrl> m_opened;

    std::unique_ptr<AppDelegate> builtController(const test::TestTree& tree, const QString& python) {
        tree.install(withPython(python));
        auto d = std::make_unique<AppDelegate>();
        d->build();
        return d;
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(kPython), "the tests run update scripts with /usr/bin/python3");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
    }
    void cleanupTestCase() {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }
    void init() { m_opened.clear(); }

    void downloadPageIsHttpsDownload() {
        const QUrl page(AppDelegate::downloadPage());
        QVERIFY(page.isValid());
        QCOMPARE(page.scheme(), QStringLiteral("https"));
        QCOMPARE(page.path(), QStringLiteral("/download"));
        QVERIFY(!page.host().isEmpty());
    }

    void report_data() {
        QTest::addColumn<QByteArray>("script"); // update_check.py; empty means there is none
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("address"); // updateURL afterwards; empty means the download page
        QTest::addColumn<bool>("opens");      // whether clicking the button opens the address

        const QString elsewhere = QStringLiteral("https://downloads.example.org/warden-2.dmg");
        QTest::newRow("available, no url: the download page")
            << QByteArray("print('{\"available\": true}')") << true << QString() << true;
        QTest::newRow("available with url")
            << QByteArray("import json; print(json.dumps({'available': True, 'url': '" + elsewhere.toUtf8() + "'}))")
            << true << elsewhere << true;
        QTest::newRow("not available, with url")
            << QByteArray("print('{\"available\": false, \"url\": \"https://x.example/\"}')") << false << QString()
            << false;
        QTest::newRow("a line of text before the JSON")
            << QByteArray("print('checking for updates'); print('{\"available\": true}')") << false << QString()
            << false;
        QTest::newRow("available as a string")
            << QByteArray("print('{\"available\": \"true\"}')") << false << QString() << false;
        QTest::newRow("url not a string: the download page")
            << QByteArray("print('{\"available\": true, \"url\": 42}')") << true << QString() << true;
        QTest::newRow("url that does not parse: shown, opens nothing")
            << QByteArray("print('{\"available\": true, \"url\": \"http://[broken\"}')") << true
            << QStringLiteral("http://[broken") << false;
        QTest::newRow("a list at the top level")
            << QByteArray("print('[{\"available\": true}]')") << false << QString() << false;
        QTest::newRow("more output than a pipe holds")
            << QByteArray("import json; print(json.dumps({'available': True, 'notes': 'x' * 400000}))") << true
            << QString() << true;
        QTest::newRow("exit status is not looked at")
            << QByteArray("import sys; print('{\"available\": true}'); sys.stdout.flush(); sys.exit(3)") << true
            << QString() << true;
        QTest::newRow("no update script") << QByteArray() << false << QString() << false;
    }
    void report() {
        QFETCH(QByteArray, script);
        QFETCH(bool, shown);
        QFETCH(QString, address);
        QFETCH(bool, opens);
        if (address.isEmpty())
            address = AppDelegate::downloadPage();
        test::TestTree tree;
        if (!script.isEmpty())
            tree.writeApp(QStringLiteral("update_check.py"), script + '\n');
        auto d = builtController(tree, kPython);
        QVERIFY(d->btnUpdate && d->btnUpdate->isHidden());

        QSignalSpy finished(d.get(), &AppDelegate::updateCheckFinished);
        d->checkForUpdate();
        QVERIFY(finished.wait(15000));
        QCOMPARE(finished.first().first().toBool(), shown);
        QCOMPARE(d->btnUpdate->isHidden(), !shown);
        QCOMPARE(d->updateURL, address);
        QVERIFY(m_opened.isEmpty());

        if (shown) {
            d->btnUpdate->click();
            QCOMPARE(m_opened, opens ? QList<QUrl>{QUrl(address)} : QList<QUrl>{});
        }
    }

    void runsScriptWithInterpreterInResourceDir() {
        test::TestTree tree;
        tree.writeApp(QStringLiteral("update_check.py"), "unused by the fake interpreter\n");
        tree.writeApp(QStringLiteral("update_check.pyc"), "preferred over the .py\n");
        const QString argvFile = tree.root() + QStringLiteral("/argv");
        const QString python =
            writeExecutable(tree, QStringLiteral("fake python"),
                            "#!/bin/bash\nprintf '%s\\0' \"$@\" > " + shellQuote(argvFile) + "\npwd -P >> " +
                                shellQuote(argvFile) + "\necho noise >&2\necho '{\"available\": true}'\n");
        auto d = builtController(tree, python);
        QSignalSpy finished(d.get(), &AppDelegate::updateCheckFinished);
        d->checkForUpdate();
        QVERIFY(finished.wait(15000));
        QCOMPARE(finished.first().first().toBool(), true);
        QFile recorded(argvFile);
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        const QByteArray expected = QFile::encodeName(tree.appDir() + QStringLiteral("/update_check.pyc")) + '\0' +
                                    QFile::encodeName(QFileInfo(tree.appDir()).canonicalFilePath()) + '\n';
        QCOMPARE(recorded.readAll(), expected);
    }

    void openUpdate_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https") << QStringLiteral("https://example.org/download?v=2") << true;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("spaces do not parse") << QStringLiteral("https://example.org/a b") << false;
        QTest::newRow("no scheme") << QStringLiteral("example.org/download") << false;
    }
    void openUpdate() {
        QFETCH(QString, address);
        QFETCH(bool, opens);
        test::TestTree tree;
        tree.install(withPython(kPython));
        AppDelegate d;
        d.updateURL = address;
        d.openUpdate();
        QCOMPARE(m_opened, opens ? QList<QUrl>{QUrl(address)} : QList<QUrl>{});
    }

    void hungScriptLeavesPanelWorking() {
        test::TestTree tree;
        tree.writeApp(QStringLiteral("update_check.py"), "\n");
        const QString pidFile = tree.root() + QStringLiteral("/hung.pid");
        const Tether tether(tree.root() + QStringLiteral("/tether"));
        QVERIFY(tether.ok());
        auto d = builtController(
            tree, writeExecutable(tree, QStringLiteral("python"), "#!/bin/bash\n" + tether.hang(pidFile) + "\n"));
        QSignalSpy finished(d.get(), &AppDelegate::updateCheckFinished);

        QElapsedTimer clock;
        clock.start();
        d->checkForUpdate();
        QVERIFY2(clock.elapsed() < 500, "checkForUpdate must return at once");
        QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 10000);
        const qint64 pid = readPid(pidFile);

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
        // The real overlay, quit by SIGTERM while its update script hangs.
        test::TestTree tree;
        tree.writeApp(QStringLiteral("update_check.py"), "\n");
        const QString pidFile = tree.root() + QStringLiteral("/hung.pid");
        const Tether tether(tree.root() + QStringLiteral("/tether"));
        QVERIFY(tether.ok());
        // The same interpreter runs the engine, which here ends at once; only the update check hangs.
        const QString python = writeExecutable(tree, QStringLiteral("python"),
                                               "#!/bin/bash\ncase \"$1\" in\n*update_check*) " + tether.hang(pidFile) +
                                                   " ;;\nesac\nexit 0\n");
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        tree.write(tree.home() + QStringLiteral("/Library/Application Support/Crate Warden/port"),
                   QByteArray::number(port) + '\n');

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), tree.home());
        env.insert(QStringLiteral("TRK_PYTHON"), python);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess overlay;
        overlay.setProcessEnvironment(env);
        overlay.setWorkingDirectory(tree.appDir());
        overlay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        overlay.start(QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/cueview"), {});
        QVERIFY(overlay.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 20000);
        const qint64 pid = readPid(pidFile);

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
        test::TestTree tree;
        const QString record = tree.root() + QStringLiteral("/setup.argv");
        tree.writeApp(QStringLiteral("overlay"), "printf '%s\\0' \"$0\" \"$@\" > " + shellQuote(record) +
                                                     ".tmp\npwd -P >> " + shellQuote(record) + ".tmp\nmv " +
                                                     shellQuote(record) + ".tmp " + shellQuote(record) + "\n");
        auto d = builtController(tree, kPython);
        d->setupShell = shellStarts ? QStringLiteral("/bin/bash") : tree.root() + QStringLiteral("/no/such/bash");
        auto* button = d->panel->findChild<TintButton*>(QStringLiteral("settingsButton"));
        QVERIFY(button);

        QVERIFY(loopQuitsAfter([button] { button->click(); }, 10000));
        if (shellStarts) {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
            QFile file(record);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray expected = QFile::encodeName(tree.appDir() + QStringLiteral("/overlay")) + '\0' +
                                        "--setup" + '\0' + QFile::encodeName(QDir::current().canonicalPath()) + '\n';
            QCOMPARE(file.readAll(), expected);
        } else {
            QVERIFY(!QFile::exists(record));
        }
    }
};

QTEST_MAIN(TestUpdateCheck)
#include "tst_update_check.moc"
