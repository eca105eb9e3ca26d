// The start script "overlay" as shipped, run by the product's bootpad in a throw-away bundle tree whose
// cueview is a small script that records how it was run. The setup is driven the three ways a DJ meets it:
// on a terminal (a pseudo-terminal here), through a desktop dialog program (fake zenity and kdialog on
// PATH), and with neither.

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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

// The bundle with the shipped start script, a brand file, the system's Python as the shipped interpreter,
// and a cueview that records each run (argv<n>, cwd<n>, stdin<n>) and then sources action<n> if present.
class Tree : public BundleTree {
public:
    Tree() {
        QFile::copy(QStringLiteral(CW_SOURCE_DIR "/resources/app/overlay"), appDir() + QStringLiteral("/overlay"));
        writeFile(appDir() + QStringLiteral("/brand.py"),
                  "BRAND = {\"BRAND_NAME\", \"" + kBrandName.toUtf8() + "\", \"BRAND_SHORT\", \"Lab\"}\n");
        QDir().mkpath(QFileInfo(shipped()).absolutePath());
        QFile::link(QStringLiteral("/usr/bin/python3"), shipped());
        QDir().mkpath(home());
        writeFile(macos() + QStringLiteral("/cueview"),
                  "#!/bin/bash\nrec=" + shellQuote(records()) +
                      "\nn=$(( $(cat \"$rec/runs\" 2>/dev/null || echo 0) + 1 ))\n"
                      "echo $n > \"$rec/runs\"\n"
                      ": > \"$rec/argv$n\"\n"
                      "for a in \"$@\"; do printf '%s\\0' \"$a\" >> \"$rec/argv$n\"; done\n"
                      "pwd -P > \"$rec/cwd$n\"\n"
                      "if [ -t 0 ]; then echo tty; else echo other; fi > \"$rec/stdin$n\"\n"
                      "[ -f \"$rec/action$n\" ] && . \"$rec/action$n\"\n"
                      "exit 0\n",
                  true);
    }

    QString home() const { return root() + QStringLiteral("/home"); }
    QString support() const { return home() + QStringLiteral("/Library/Application Support/") + kBrandName; }
    QString profile() const { return support() + QStringLiteral("/profile.json"); }
    QString settingsFile() const { return support() + QStringLiteral("/settings.json"); }
    QString fakeBin() const { return root() + QStringLiteral("/bin"); }
    int runs() const { return recorded(QStringLiteral("runs")).trimmed().toInt(); }
    QStringList argv(int run) const { return nulSeparated(recorded(QStringLiteral("argv%1").arg(run))); }

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

    void start(QProcess& process, const QStringList& arguments, const QProcessEnvironment& env,
               const QString& stdinFile = {}) const {
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(root());
        if (!stdinFile.isEmpty())
            process.setStandardInputFile(stdinFile);
        process.start(bootpad(), arguments);
    }
    // Runs bootpad to its end (at most 30 s); its exit status, -1 when it did not end.
    int run(QProcess& process, const QStringList& arguments, const QProcessEnvironment& env,
            const QString& stdinFile = {}) const {
        start(process, arguments, env, stdinFile);
        return process.waitForFinished(30000) ? process.exitCode() : -1;
    }

    // A dialog program that logs each call (arguments NUL-separated, each call ended by \x1e) and answers
    // the language list with $FAKE_LANG and the folder chooser with $FAKE_DIR; $FAKE_STATUS is its status.
    void makeDialog(const QString& name) const {
        writeFile(fakeBin() + u'/' + name,
                  "#!/bin/bash\n{ printf '%s\\0' \"$@\"; printf '\\036'; } >> " +
                      shellQuote(record(QStringLiteral("dialog"))) +
                      "\ncase \"$*\" in\n"
                      "*--radiolist*) echo \"$FAKE_LANG\" ;;\n"
                      "*--file-selection*|*--getexistingdirectory*) echo \"$FAKE_DIR\" ;;\n"
                      "esac\n"
                      "exit \"${FAKE_STATUS:-0}\"\n",
                  true);
    }
};

} // namespace

class TestStartScript : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(QStringLiteral("/usr/bin/python3")), "the setup saves with Python 3");
    }

    void runsOverlayInResourceDir() {
        Tree tree;
        writeFile(tree.record(QStringLiteral("action1")), "exit 5\n");
        QProcess bootpad;
        QCOMPARE(tree.run(bootpad, {QStringLiteral("--demo"), QStringLiteral("two words")}, tree.environment()), 5);
        QCOMPARE(tree.runs(), 1);
        QCOMPARE(tree.argv(1), (QStringList{"--demo", "two words"}));
        QCOMPARE(tree.recorded(QStringLiteral("cwd1")).trimmed(),
                 QFileInfo(tree.appDir()).canonicalFilePath().toUtf8());
    }

    void setupWithDialog_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("dialogStatus");
        QTest::addColumn<QString>("language"); // expected afterwards; empty: no profile file
        QTest::newRow("zenity") << "zenity" << 0 << "de";
        QTest::newRow("kdialog") << "kdialog" << 0 << "he";
        QTest::newRow("zenity cancelled") << "zenity" << 1 << QString();
    }
    void setupWithDialog() {
        QFETCH(QString, program);
        QFETCH(int, dialogStatus);
        QFETCH(QString, language);
        Tree tree;
        tree.makeDialog(program);
        writeFile(tree.settingsFile(), "{\"source\": \"demo\"}\n");
        const QString music = tree.root() + QStringLiteral("/Music \"live\" sets");
        QVERIFY(QDir().mkpath(music));
        QProcessEnvironment env = tree.environment();
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":99"));
        env.insert(QStringLiteral("FAKE_LANG"), language.isEmpty() ? QStringLiteral("fr") : language);
        env.insert(QStringLiteral("FAKE_DIR"), music);
        env.insert(QStringLiteral("FAKE_STATUS"), QString::number(dialogStatus));

        QProcess bootpad;
        QCOMPARE(tree.run(bootpad, {QStringLiteral("--setup")}, env), 0);
        const bool chosen = !language.isEmpty();
        QCOMPARE(QFile::exists(tree.profile()), chosen);
        if (chosen) // the form the overlay reads
            QCOMPARE(readFile(tree.profile()), "{\"language\": \"" + language.toUtf8() + "\"}\n");
        const QJsonObject settings = readJson(tree.settingsFile());
        QCOMPARE(settings.value(QStringLiteral("source")).toString(), QStringLiteral("demo"));
        QCOMPARE(settings.value(QStringLiteral("music_dir")).toString(), chosen ? music : QString());
        // Three dialogs: language, folder, and what was done.
        const QList<QByteArray> calls = tree.recorded(QStringLiteral("dialog")).split('\x1e');
        QCOMPARE(calls.size(), 4);
        const QString summary = QString::fromUtf8(calls[2]);
        QVERIFY2(summary.contains(chosen ? "Music folder set to " + music : QStringLiteral("Music folder not set.")),
                 qPrintable(summary));
        QVERIFY2(summary.contains(QStringLiteral("Starting Crate Warden again.")), qPrintable(summary));
        QCOMPARE(tree.runs(), 1);
    }

    void setupWithoutDialog_data() {
        QTest::addColumn<QByteArray>("keys");  // typed on a terminal; null: no terminal at all
        QTest::addColumn<QString>("language"); // expected in profile.json; empty: file untouched
        QTest::addColumn<QString>("music");    // expected music_dir, relative to home; empty: file untouched
        QTest::addColumn<QStringList>("said");
        QTest::newRow("number and a folder under ~")
            << QByteArray("6\n~/Music\n") << "fr"
            << "Music" << QStringList{"Interface language set to Français (fr)."};
        QTest::newRow("wrong answers are asked again") << QByteArray("xx\n9\nhe\n/no/such/folder\n\n") << "he"
                                                       << QString() << QStringList{"No such folder: /no/such/folder"};
        QTest::newRow("end of input keeps everything")
            << QByteArray("\x04") << QString() << QString() << QStringList{"Interface language kept: Italiano (it)."};
        QTest::newRow("no terminal: nothing asked")
            << QByteArray() << QString() << QString()
            << QStringList{"nothing was asked", "Interface language kept: Italiano (it).",
                           "Music folder kept: /srv/music."};
    }
    void setupWithoutDialog() {
        QFETCH(QByteArray, keys);
        QFETCH(QString, language);
        QFETCH(QString, music);
        QFETCH(QStringList, said);
        Tree tree;
        const QByteArray profile = "{\"language\": \"it\", \"note\": \"kept\"}\n";
        const QByteArray settings = "{\"music_dir\": \"/srv/music\", \"source\": \"demo\"}\n";
        writeFile(tree.profile(), profile);
        writeFile(tree.settingsFile(), settings);
        QVERIFY(QDir().mkpath(tree.home() + QStringLiteral("/Music")));
        tree.makeDialog(QStringLiteral("zenity")); // present, but there is no desktop to show it on
        Pty pty;
        QVERIFY(!pty.slave().isEmpty());
        QVERIFY(pty.type(keys));

        QProcess bootpad;
        QCOMPARE(
            tree.run(bootpad, {QStringLiteral("--setup")}, tree.environment(), keys.isNull() ? QString() : pty.slave()),
            0);
        const QString out = QString::fromUtf8(bootpad.readAllStandardOutput() + bootpad.readAllStandardError());
        for (const QString& text : said)
            QVERIFY2(out.contains(text), qPrintable(out));
        if (language.isEmpty()) {
            QCOMPARE(readFile(tree.profile()), profile);
        } else {
            const QJsonObject saved = readJson(tree.profile());
            QCOMPARE(saved.value(QStringLiteral("language")).toString(), language);
            QCOMPARE(saved.value(QStringLiteral("note")).toString(), QStringLiteral("kept"));
        }
        if (music.isEmpty())
            QCOMPARE(readFile(tree.settingsFile()), settings);
        else
            QCOMPARE(readJson(tree.settingsFile()).value(QStringLiteral("music_dir")).toString(),
                     QFileInfo(tree.home() + u'/' + music).canonicalFilePath());
        QVERIFY(!QFile::exists(tree.record(QStringLiteral("dialog"))));
        // The overlay starts again, without the setup option.
        QCOMPARE(tree.runs(), 1);
        QCOMPARE(tree.argv(1), QStringList());
        QCOMPARE(tree.recorded(QStringLiteral("stdin1")), keys.isNull() ? QByteArray("other\n") : QByteArray("tty\n"));
    }

    // From a terminal the overlay's settings button starts the setup and the overlay quits. The run bootpad
    // waits for stays until the setup and the overlay it starts again are done, so the terminal is not
    // handed back early.
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
        QCOMPARE(tree.recorded(QStringLiteral("stdin2")), QByteArray("tty\n"));
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
