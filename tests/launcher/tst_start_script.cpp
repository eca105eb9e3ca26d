// The start script "overlay" as shipped, run by the product's bootpad in a throw-away bundle tree whose
// cueview is a small script that records how it was run. The setup is driven the three ways a DJ meets it:
// on a terminal (a pseudo-terminal here), through a desktop dialog program (fake zenity and kdialog on
// PATH), and with neither.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "ScriptFiles.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

using namespace cw::test;

namespace {

const QString kBrandName = QStringLiteral("Crate Warden Lab");

QJsonObject readJson(const QString& path) {
    return QJsonDocument::fromJson(readFile(path)).object();
}

// A pseudo-terminal whose other side becomes a child's standard input.
class Pty {
public:
    Pty() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0)
            m_slave = QString::fromLocal8Bit(ptsname(m_master));
    }
    ~Pty() {
        if (m_master >= 0)
            ::close(m_master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    QString slave() const { return m_slave; }
    bool type(const QByteArray& keys) const {
        return ::write(m_master, keys.constData(), size_t(keys.size())) == keys.size();
    }

private:
    int m_master = -1;
    QString m_slave;
};

// "Crate Warden.app" under a directory with a space: the product's bootpad, the shipped start script, a brand
// file, the system's Python as the shipped interpreter, and a cueview that records each run (argv<n>,
// cwd<n>, stdin<n>) and then sources action<n> when the test has written one.
class Tree {
public:
    Tree() {
        QDir().mkpath(macos());
        QDir().mkpath(appDir());
        QDir().mkpath(records());
        QDir().mkpath(home());
        QFile::copy(QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/bootpad"), macos() + QStringLiteral("/bootpad"));
        QFile(macos() + QStringLiteral("/bootpad")).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        QFile::copy(QStringLiteral(CW_SOURCE_DIR "/resources/app/overlay"), appDir() + QStringLiteral("/overlay"));
        writeFile(appDir() + QStringLiteral("/brand.py"),
                  "BRAND = {\"BRAND_NAME\", \"" + kBrandName.toUtf8() + "\", \"BRAND_SHORT\", \"Lab\"}\n");
        const QString shipped =
            bundle() + QStringLiteral("/Contents/Frameworks/Python.framework/Versions/Current/bin/python3.11");
        QDir().mkpath(QFileInfo(shipped).absolutePath());
        QFile::link(QStringLiteral("/usr/bin/python3"), shipped);
        writeFile(macos() + QStringLiteral("/cueview"),
                  "#!/bin/bash\nrec=" + shellQuote(records()) +
                      "\n"
                      "n=$(( $(cat \"$rec/runs\" 2>/dev/null || echo 0) + 1 ))\n"
                      "echo $n > \"$rec/runs\"\n"
                      ": > \"$rec/argv$n\"\n"
                      "for a in \"$@\"; do printf '%s\\0' \"$a\" >> \"$rec/argv$n\"; done\n"
                      "pwd -P > \"$rec/cwd$n\"\n"
                      "if [ -t 0 ]; then echo tty; else echo other; fi > \"$rec/stdin$n\"\n"
                      "[ -f \"$rec/action$n\" ] && . \"$rec/action$n\"\n"
                      "exit 0\n",
                  true);
    }

    QString root() const { return m_dir.path() + QStringLiteral("/my apps"); }
    QString bundle() const { return root() + QStringLiteral("/Crate Warden.app"); }
    QString macos() const { return bundle() + QStringLiteral("/Contents/MacOS"); }
    QString appDir() const { return bundle() + QStringLiteral("/Contents/Resources/app"); }
    QString records() const { return root() + QStringLiteral("/records"); }
    QString record(const QString& name) const { return records() + u'/' + name; }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString support() const { return home() + QStringLiteral("/Library/Application Support/") + kBrandName; }
    QString profile() const { return support() + QStringLiteral("/profile.json"); }
    QString settingsFile() const { return support() + QStringLiteral("/settings.json"); }
    int runs() const { return readFile(record(QStringLiteral("runs"))).trimmed().toInt(); }

    // Environment without a desktop; PATH starts with a directory for fake dialog programs.
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("TRK_LANG"));
        env.insert(QStringLiteral("HOME"), home());
        env.insert(QStringLiteral("PATH"), fakeBin() + QStringLiteral(":/usr/bin:/bin"));
        return env;
    }
    QString fakeBin() const { return root() + QStringLiteral("/bin"); }

    void start(QProcess& process, const QStringList& arguments, const QProcessEnvironment& env,
               const QString& stdinFile = {}) const {
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(root());
        if (!stdinFile.isEmpty())
            process.setStandardInputFile(stdinFile);
        process.start(macos() + QStringLiteral("/bootpad"), arguments);
    }

private:
    QTemporaryDir m_dir;
};

// A dialog program that logs each call (arguments NUL-separated, each call ended by \x1e) and answers the
// language list with $FAKE_LANG and the folder chooser with $FAKE_DIR; $FAKE_STATUS is its exit status.
void makeDialog(const Tree& tree, const QString& name) {
    writeFile(tree.fakeBin() + u'/' + name,
              "#!/bin/bash\n{ printf '%s\\0' \"$@\"; printf '\\036'; } >> " +
                  shellQuote(tree.record(QStringLiteral("dialog"))) +
                  "\n"
                  "case \"$*\" in\n"
                  "*--radiolist*) echo \"$FAKE_LANG\" ;;\n"
                  "*--file-selection*|*--getexistingdirectory*) echo \"$FAKE_DIR\" ;;\n"
                  "esac\n"
                  "exit \"${FAKE_STATUS:-0}\"\n",
              true);
}

} // namespace

class TestStartScript : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(QStringLiteral("/usr/bin/python3")), "the setup saves with Python 3");
    }

    void runsOverlayInResourceDir_data() {
        QTest::addColumn<QByteArray>("action");
        QTest::addColumn<int>("status");
        QTest::newRow("clean exit") << QByteArray() << 0;
        QTest::newRow("overlay status passes on") << QByteArray("exit 5\n") << 5;
    }
    void runsOverlayInResourceDir() {
        QFETCH(QByteArray, action);
        QFETCH(int, status);
        Tree tree;
        if (!action.isEmpty())
            writeFile(tree.record(QStringLiteral("action1")), action);
        QProcess bootpad;
        tree.start(bootpad, {QStringLiteral("--demo"), QStringLiteral("two words")}, tree.environment());
        QVERIFY(bootpad.waitForFinished(30000));
        QCOMPARE(bootpad.exitCode(), status);
        QCOMPARE(tree.runs(), 1);
        QCOMPARE(nulSeparated(readFile(tree.record(QStringLiteral("argv1")))),
                 (QStringList{QStringLiteral("--demo"), QStringLiteral("two words")}));
        QCOMPARE(readFile(tree.record(QStringLiteral("cwd1"))).trimmed(),
                 QFileInfo(tree.appDir()).canonicalFilePath().toUtf8());
    }

    void setupWithoutTerminalOrDialogKeepsSettings() {
        Tree tree;
        const QByteArray profile = "{\"language\": \"it\"}\n";
        const QByteArray settings = "{\"music_dir\": \"/srv/music\", \"source\": \"demo\"}\n";
        writeFile(tree.profile(), profile);
        writeFile(tree.settingsFile(), settings);
        makeDialog(tree, QStringLiteral("zenity")); // present, but there is no desktop to show it on

        QProcess bootpad;
        tree.start(bootpad, {QStringLiteral("--setup")}, tree.environment());
        QVERIFY(bootpad.waitForFinished(30000));
        QCOMPARE(bootpad.exitCode(), 0);
        const QString err = QString::fromUtf8(bootpad.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("nothing was asked")), qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("Interface language kept: Italiano (it).")), qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("Music folder kept: /srv/music.")), qPrintable(err));
        QCOMPARE(readFile(tree.profile()), profile);
        QCOMPARE(readFile(tree.settingsFile()), settings);
        QVERIFY(!QFile::exists(tree.record(QStringLiteral("dialog"))));
        // The overlay starts again, without the setup option.
        QCOMPARE(tree.runs(), 1);
        QCOMPARE(nulSeparated(readFile(tree.record(QStringLiteral("argv1")))), QStringList());
    }

    void setupWithDialog_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("dialogStatus");
        QTest::addColumn<QString>("language"); // expected afterwards; empty: no profile file
        QTest::addColumn<bool>("musicChosen");
        QTest::newRow("zenity") << QStringLiteral("zenity") << 0 << QStringLiteral("de") << true;
        QTest::newRow("kdialog") << QStringLiteral("kdialog") << 0 << QStringLiteral("he") << true;
        QTest::newRow("zenity cancelled") << QStringLiteral("zenity") << 1 << QString() << false;
    }
    void setupWithDialog() {
        QFETCH(QString, program);
        QFETCH(int, dialogStatus);
        QFETCH(QString, language);
        QFETCH(bool, musicChosen);
        Tree tree;
        makeDialog(tree, program);
        writeFile(tree.settingsFile(), "{\"source\": \"demo\"}\n");
        const QString music = tree.root() + QStringLiteral("/Music \"live\" sets");
        QVERIFY(QDir().mkpath(music));
        QProcessEnvironment env = tree.environment();
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":99"));
        env.insert(QStringLiteral("FAKE_LANG"), language.isEmpty() ? QStringLiteral("fr") : language);
        env.insert(QStringLiteral("FAKE_DIR"), music);
        env.insert(QStringLiteral("FAKE_STATUS"), QString::number(dialogStatus));

        QProcess bootpad;
        tree.start(bootpad, {QStringLiteral("--setup")}, env);
        QVERIFY(bootpad.waitForFinished(30000));
        QCOMPARE(bootpad.exitCode(), 0);
        if (language.isEmpty()) {
            QVERIFY(!QFile::exists(tree.profile()));
        } else {
            // The form the overlay reads.
            QCOMPARE(readFile(tree.profile()), "{\"language\": \"" + language.toUtf8() + "\"}\n");
        }
        const QJsonObject settings = readJson(tree.settingsFile());
        QCOMPARE(settings.value(QStringLiteral("source")).toString(), QStringLiteral("demo"));
        QCOMPARE(settings.value(QStringLiteral("music_dir")).toString(), musicChosen ? music : QString());
        // Three dialogs: language, folder, and what was done.
        const QList<QByteArray> calls = readFile(tree.record(QStringLiteral("dialog"))).split('\x1e');
        QCOMPARE(calls.size(), 4);
        const QString summary = QString::fromUtf8(calls[2]);
        QVERIFY2(summary.contains(musicChosen ? QStringLiteral("Music folder set to ") + music
                                              : QStringLiteral("Music folder not set.")),
                 qPrintable(summary));
        QVERIFY2(summary.contains(QStringLiteral("Starting Crate Warden again.")), qPrintable(summary));
        QCOMPARE(tree.runs(), 1);
    }

    void setupOnTerminal_data() {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QString>("language"); // expected in profile.json; empty: file untouched
        QTest::addColumn<QString>("music");    // expected music_dir, relative to home; empty: unchanged
        QTest::addColumn<QString>("said");
        QTest::newRow("number and a folder under ~")
            << QByteArray("6\n~/Music\n") << QStringLiteral("fr") << QStringLiteral("Music")
            << QStringLiteral("Interface language set to Français (fr).");
        QTest::newRow("wrong answers are asked again")
            << QByteArray("xx\n9\nhe\n/no/such/folder\n\n") << QStringLiteral("he") << QString()
            << QStringLiteral("No such folder: /no/such/folder");
        QTest::newRow("end of input keeps everything") << QByteArray("\x04") << QString() << QString()
                                                       << QStringLiteral("Interface language kept: Italiano (it).");
    }
    void setupOnTerminal() {
        QFETCH(QByteArray, keys);
        QFETCH(QString, language);
        QFETCH(QString, music);
        QFETCH(QString, said);
        Tree tree;
        const QByteArray profile = "{\"language\": \"it\", \"note\": \"kept\"}\n";
        writeFile(tree.profile(), profile);
        QVERIFY(QDir().mkpath(tree.home() + QStringLiteral("/Music")));
        Pty pty;
        QVERIFY(!pty.slave().isEmpty());
        QVERIFY(pty.type(keys));

        QProcess bootpad;
        tree.start(bootpad, {QStringLiteral("--setup")}, tree.environment(), pty.slave());
        QVERIFY(bootpad.waitForFinished(30000));
        QCOMPARE(bootpad.exitCode(), 0);
        const QString out = QString::fromUtf8(bootpad.readAllStandardOutput());
        QVERIFY2(out.contains(said), qPrintable(out));
        if (language.isEmpty()) {
            QCOMPARE(readFile(tree.profile()), profile);
        } else {
            const QJsonObject saved = readJson(tree.profile());
            QCOMPARE(saved.value(QStringLiteral("language")).toString(), language);
            QCOMPARE(saved.value(QStringLiteral("note")).toString(), QStringLiteral("kept"));
        }
        if (music.isEmpty())
            QVERIFY(!QFile::exists(tree.settingsFile()));
        else
            QCOMPARE(readJson(tree.settingsFile()).value(QStringLiteral("music_dir")).toString(),
                     QFileInfo(tree.home() + u'/' + music).canonicalFilePath());
        QCOMPARE(tree.runs(), 1);
        QCOMPARE(readFile(tree.record(QStringLiteral("stdin1"))), QByteArray("tty\n"));
    }

    // From a terminal: the overlay's settings button starts the setup and the overlay quits. The run that
    // bootpad waits for stays until the setup and the overlay it starts again are done, so the setup keeps
    // the terminal and bootpad does not hand it back early.
    void terminalRunWaitsForSetupItStarted() {
        Tree tree;
        writeFile(tree.record(QStringLiteral("action1")), "/bin/bash \"$(pwd)/overlay\" --setup <&0 &\nexit 0\n");
        writeFile(tree.record(QStringLiteral("action2")),
                  "touch \"$rec/second\"\n"
                  "for _ in $(seq 1 400); do [ -e \"$rec/release\" ] && break; sleep 0.05; done\n");
        Pty pty;
        QVERIFY(!pty.slave().isEmpty());
        QVERIFY(pty.type("3\n\n"));

        QProcess bootpad;
        tree.start(bootpad, {}, tree.environment(), pty.slave());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(tree.record(QStringLiteral("second"))), 20000);
        QCOMPARE(readJson(tree.profile()).value(QStringLiteral("language")).toString(), QStringLiteral("es"));
        QCOMPARE(readFile(tree.record(QStringLiteral("stdin2"))), QByteArray("tty\n"));
        QVERIFY(!bootpad.waitForFinished(300));
        QCOMPARE(bootpad.state(), QProcess::Running);

        writeFile(tree.record(QStringLiteral("release")), "");
        QVERIFY(bootpad.waitForFinished(20000));
        QCOMPARE(bootpad.exitCode(), 0);
        QCOMPARE(tree.runs(), 2);
    }
};

QTEST_GUILESS_MAIN(TestStartScript)
#include "tst_start_script.moc"
