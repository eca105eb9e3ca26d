// bootpad (its test build, whose fixed system paths lie under CW_BOOTPAD_TEST_ROOT) with fake interpreters,
// platform programs and start script; the shipped start script under the product's bootpad with fake cueview,
// engine and dialog programs, and a pseudo-terminal as the DJ's terminal. All are real processes.

#include "support/Support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

using cw::test::readAll;

namespace {

const QString kFixedRoot = CW_BOOTPAD_TEST_ROOT;
const QStringList kRunTest{"-c", "pass"};
const QStringList kSystem{"/usr/bin/python3", "/opt/homebrew/bin/python3", "/usr/local/bin/python3",
                          "/Library/Frameworks/Python.framework/Versions/Current/bin/python3"};
const QByteArray kProfile = "{\"language\": \"it\", \"note\": \"kept\"}\n";
const QByteArray kSettings = "{\"music_dir\": \"/srv/music\", \"source\": \"demo\", \"other\": [1, 2]}\n";
const QByteArray kSources = "{\"id\": \"mixxx\", \"name\": \"Mixxx\", \"path\": \"/srv/mixxx\", \"tracks\": 1234}\n"
                            "{\"id\": \"serato\", \"name\": \"Serato DJ\", \"path\": \"/Volumes/Gig/_Serato_\"}\n";

// "Crate Warden.app" with a copy of a launcher, beside a home and the records of the fake programs.
class Tree {
public:
    explicit Tree(const QString& launcher = CW_BUNDLE_DIR "/Contents/MacOS/bootpad") {
        for (const QString& dir : {appDir(), records(), home() + "/Music", QFileInfo(bootpad()).path()})
            QDir().mkpath(dir);
        QFile::copy(launcher, bootpad());
    }
    static void write(const QString& path, const QByteArray& bytes, bool executable = false) {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        QCOMPARE(::chmod(qPrintable(path), executable ? 0755 : 0644), 0);
    }
    static QJsonObject json(const QString& path) { return QJsonDocument::fromJson(readAll(path)).object(); }
    static QByteArray quoted(const QString& text) { return '\'' + text.toUtf8().replace('\'', "'\\''") + '\''; }
    static QStringList nulSeparated(const QByteArray& bytes) { // as printf '%s\0' wrote them
        return bytes.isEmpty() ? QStringList() : QString::fromUtf8(bytes.chopped(1)).split(QChar(0));
    }

    QString root() const { return m_dir.path() + "/my apps"; }
    QString contents() const { return root() + "/Crate Warden.app/Contents"; }
    QString bootpad() const { return contents() + "/MacOS/bootpad"; }
    QString appDir() const { return contents() + "/Resources/app"; }
    QString shipped() const { return contents() + "/Frameworks/Python.framework/Versions/Current/bin/python3.11"; }
    QString home() const { return root() + "/home"; }
    QString music() const { return QFileInfo(home() + "/Music").canonicalFilePath(); }
    QString support(const QString& file) const { return home() + "/Library/Application Support/Lab/" + file; }
    QString records() const { return root() + "/records"; }
    QString record(const QString& name) const { return records() + u'/' + name; }
    QByteArray recorded(const QString& name) const { return readAll(record(name)); }
    int runs() const { return recorded("runs").trimmed().toInt(); }

    // bootpad's status (-1: crashed, or still running after 30 s and then stopped) and what it printed.
    std::pair<int, QByteArray> run(const QStringList& arguments, const QProcessEnvironment& env,
                                   const QString& stdinFile = {}, const QString& program = {}) const {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setStandardInputFile(stdinFile); // none: inherited
        process.start(program.isEmpty() ? bootpad() : program, arguments);
        const bool finished = process.waitForFinished(30000);
        if (!finished && process.processId() > 0) // a stop request ends the run and everything it started
            ::kill(pid_t(process.processId()), SIGTERM), process.waitForFinished(5000);
        const bool normal = finished && process.exitStatus() == QProcess::NormalExit;
        return {normal ? process.exitCode() : -1, process.readAllStandardOutput() + process.readAllStandardError()};
    }
    // The shipped start script with the system's Python; a cueview that records each run (argc and argv in
    // argv<n>) and sources action<n>; dialog programs that answer the source list with $FAKE_SOURCE, the
    // language list with $FAKE_LANG (none: cancelled), the folder with $FAKE_DIR; an engine that lists two
    // programs and ends with listingStatus.
    void useShippedScript(int listingStatus = 0) const {
        QFile::copy(CW_SOURCE_DIR "/resources/app/overlay", appDir() + "/overlay");
        write(appDir() + "/brand.py", "BRAND = {\"BRAND_NAME\", \"Lab\"}\n");
        QDir().mkpath(QFileInfo(shipped()).path());
        QFile::link("/usr/bin/python3", shipped());
        write(appDir() + "/../../MacOS/cueview",
              "#!/bin/bash\nrec=" + quoted(records()) +
                  "\nn=$(( $(cat \"$rec/runs\" 2>/dev/null || echo 0) + 1 ))\necho $n > \"$rec/runs\"\n"
                  "printf '%s\\0' $# \"$@\" > \"$rec/argv$n\"\n"
                  "[ -f \"$rec/action$n\" ] && . \"$rec/action$n\"\nexit 0\n",
              true);
        for (const char* name : {"zenity", "kdialog"})
            write(root() + "/bin/" + name,
                  "#!/bin/bash\n[ -n \"$FAKE_BLOCK\" ] && exec sleep 60\ncase \"$*\" in\n"
                  "*'Music source'*) echo \"$FAKE_SOURCE\" ;;\n*--radiolist*) echo \"$FAKE_LANG\" ;;\n"
                  "*--file-selection*|*--getexistingdirectory*) echo \"$FAKE_DIR\" ;;\nesac\n"
                  "[ -n \"$FAKE_LANG\" ]\n", // nothing chosen: cancelled
                  true);
        write(appDir() + "/live_next.py", "import sys\nassert sys.argv[1:] == ['--list-sources']\nprint('''" +
                                              kSources + "''', end='')\nsys.exit(" + QByteArray::number(listingStatus) +
                                              ")\n");
    }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TRK_LANG"})
            env.remove(name);
        env.insert("TRK_PYTHON", "/not/the/chosen/one");
        env.insert("HOME", home());
        env.insert("PATH", root() + "/bin:/usr/bin:/bin");
        return env;
    }

private:
    QTemporaryDir m_dir;
};

// A pseudo-terminal whose other side becomes a child's standard input.
struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    QString slave() const { return grantpt(master) || unlockpt(master) ? QString() : QString(ptsname(master)); }
    void type(const QByteArray& keys) const { QCOMPARE(::write(master, keys.constData(), keys.size()), keys.size()); }
    ~Pty() { ::close(master); }
};

// Processes, zombies aside, still working in dir: whatever a run left behind.
QStringList processesIn(const QString& dir) {
    QStringList found;
    for (const QString& pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs))
        if (QFileInfo("/proc/" + pid + "/cwd").symLinkTarget() == dir &&
            !readAll("/proc/" + pid + "/stat").contains(") Z "))
            found << QString::fromUtf8(readAll("/proc/" + pid + "/cmdline").replace('\0', ' '));
    return found;
}

void makeInterpreters(const Tree& t, const QString& kinds) {
    for (int i = 0; i < kinds.size(); ++i) {
        const QString path = i ? kFixedRoot + kSystem[i - 1] : t.shipped();
        if (kinds[i] == 'd')
            QDir().mkpath(path);
        const QByteArray tail =
            kinds[i] == 'h' ? "echo $$ > " + Tree::quoted(t.record("hung.pid")) + "\ntrap '' TERM\nexec sleep 60\n"
                            : QByteArray(kinds[i] == 'f' ? "exit 1\n" : "exit 0\n");
        const QByteArray log = Tree::quoted(t.record(QString("i%1").arg(i)));
        if (kinds[i] != 'd' && kinds[i] != '-')
            Tree::write(path, "#!/bin/bash\nprintf '%s\\0' \"$@\" >> " + log + '\n' + tail, kinds[i] != 'n');
    }
}

// kinds: of the shipped, then the system interpreters: 'w' exits 0, 'f' exits 1, 'h' hangs ignoring SIGTERM,
// 'n' is not executable, 'd' is a directory, '-' is missing (upper case: it is run, recording its arguments in
// i<index>; the last run is chosen); tail: of the start script ("!": no resource directory to run it in);
// out, status: bootpad's; programs: those run when no interpreter is usable.
struct BootCase {
    QString kinds, tail, out;
    int status;
    QStringList programs;
};
// how: tty (and the damage done: unlisted, the engine cannot list; or to a file), zenity, kdialog, none; keys:
// typed on the terminal; language: expected, empty when profile.json is untouched; source: expected ("" for
// automatic, demo, mixxx, serato); said: in the output; music: ~/Music chosen and saved.
struct SetupCase {
    QString how, keys, language, source, said;
    bool music;
};

} // namespace
Q_DECLARE_METATYPE(BootCase)
Q_DECLARE_METATYPE(SetupCase)

class TestLauncher : public QObject {
    Q_OBJECT

private slots:
    void bootpad_data() {
        QTest::addColumn<BootCase>("c");
        const QString ok = "start script output\n";
        const QString message = "Crate Warden needs Apple\u2019s Command Line Tools, a free one-time download from "
                                "Apple. Click Install in the box that appears, wait for it to finish, then open "
                                "Crate Warden again.";
        QTest::newRow("shipped runs: no system one started") << BootCase{"Wwwww", "exit 3", ok, 3, {}};
        QTest::newRow("exit status 1 skipped") << BootCase{"FFWww", "", ok, 0, {}};
        QTest::newRow("not executable, directory: unrun") << BootCase{"ndFWw", "", ok, 0, {}};
        // Ended after 6 s though it ignores SIGTERM, and reaped before the start script runs.
        QTest::newRow("hanging candidate") << BootCase{"HW---", "", ok, 0, {}};
        QTest::newRow("start script killed") << BootCase{"W----", "kill $$", ok, int(SIGTERM), {}};
        QTest::newRow("start script cannot start")
            << BootCase{"W----", "!", "Crate Warden: could not start (No such file or directory)\n", 1, {}};
        const QString alert = "display alert \"One more thing to install\" message \"" + message + '"';
        QTest::newRow("none usable: the platform's installer")
            << BootCase{"FndF-", "", "", 1, {"osascript", "-e", alert, "xcode-select", "--install"}};
    }
    void bootpad() {
        QFETCH(BootCase, c);
        QVERIFY(QDir(kFixedRoot).removeRecursively()); // the system's paths start empty
        Tree t(CW_BOOTPAD_FIXED_PATHS);
        // The start script records its arguments, working directory, environment, and the hung interpreter.
        Tree::write(t.appDir() + "/overlay",
                    "rec=" + Tree::quoted(t.records()) +
                        "\nprintf '%s\\0' \"$0\" \"$@\" \"$(pwd -P)\" \"$TRK_PYTHON|$CW_PROBE\" > \"$rec/argv\"\n"
                        "[ -s \"$rec/hung.pid\" ] && { kill -0 \"$(cat \"$rec/hung.pid\")\" 2>/dev/null && echo alive"
                        " || echo gone; } > \"$rec/hung.state\"\necho 'start script output'\n" +
                        c.tail.toUtf8() + '\n');
        if (c.tail == "!")
            QVERIFY(QDir(t.appDir() + "/..").removeRecursively());
        makeInterpreters(t, c.kinds.toLower());
        for (const char* program : {"/usr/bin/osascript", "/usr/bin/xcode-select"})
            Tree::write(kFixedRoot + program,
                        "#!/bin/bash\nprintf '%s\\0' \"${0##*/}\" \"$@\" >> " + Tree::quoted(t.record("programs")),
                        true);
        const QString links = t.root() + "/elsewhere/links dir";
        QVERIFY(QDir().mkpath(links) && QFile::link(t.bootpad(), links + "/start") &&
                QFile::link(links + "/start", links + "/start again"));
        QProcessEnvironment env = t.environment();
        env.insert("CW_PROBE", "inherited value");
        env.insert("PATH", links + ':' + env.value("PATH"));
        const QStringList arguments{"--setup", "two words", "", "ünïcödé", "$HOME"};
        // Started by a bare name found on PATH (the shell passes it on as typed), a link to a link to bootpad.
        const auto [status, out] =
            t.run(QStringList{"-c", "exec 'start again' \"$@\"", "bash"} + arguments, env, {}, "/bin/bash");
        QCOMPARE(status, c.status);
        QCOMPARE(QString::fromUtf8(out), c.out);
        QCOMPARE(Tree::nulSeparated(t.recorded("programs")), c.programs);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(Tree::nulSeparated(t.recorded(QString("i%1").arg(i))),
                     c.kinds[i].isUpper() ? kRunTest : QStringList());
        QCOMPARE(QFile::exists(t.record("argv")), c.out == "start script output\n");
        if (c.out != "start script output\n")
            return;
        QCOMPARE(t.recorded("hung.state"), QByteArray(c.kinds.contains('H') ? "gone\n" : ""));
        // Run in the resource directory; an existing TRK_PYTHON is replaced by the chosen interpreter, the rest
        // inherited.
        const qsizetype chosen = c.kinds.lastIndexOf(QRegularExpression("[A-Z]"));
        const QString python = chosen ? kFixedRoot + kSystem[chosen - 1] : QFileInfo(t.shipped()).canonicalFilePath();
        const QStringList recorded{QFileInfo(t.appDir()).canonicalFilePath(), python + "|inherited value"};
        QCOMPARE(Tree::nulSeparated(t.recorded("argv")), QStringList{"./overlay"} + arguments + recorded);
    }
    void setup_data() {
        QTest::addColumn<SetupCase>("c");
        const QString save = "2\n~/Music\n\n";
        const auto row = [](const char* name, const SetupCase& c) { QTest::newRow(name) << c; };
        row("terminal, all answered",
            {"tty", "6\n~/Music\n3\n", "fr", "serato", "2) Mixxx · /srv/mixxx · 1234 tracks", true});
        row("terminal, wrong answers",
            {"tty", "xx\n9\nhe\n/no/such/folder\n\n9\n1\n", "he", "", "No such folder", false});
        row("terminal, no source list", {"tty unlisted", "6\n\n", "fr", "demo", "did not list the DJ programs", false});
        row("no terminal, no desktop", {"none", "", "", "demo", "nothing was asked", false});
        row("zenity", {"zenity", "", "de", "mixxx", "source set to Mixxx · /srv/mixxx", true});
        row("kdialog", {"kdialog", "", "he", "serato", "Serato DJ · /Volumes/Gig", true});
        row("zenity cancelled", {"zenity", "", "", "demo", "source kept: Demo crate", false});
        row("trailing comma: left", {"tty comma", save, "he", "demo", "settings.json was left as it is", false});
        row("Latin-1: left", {"tty latin1", save, "", "demo", "it is not UTF-8 text", true});
        row("FIFO: left", {"tty fifo", save, "he", "demo", "not a plain file", false});
        row("mode 0600 kept", {"tty private", save, "he", "demo", "Saved in", true});
        row("link: target written", {"tty link", save, "he", "demo", "Saved in", true});
    }
    // A setup started by hand asks, saves only what changed and keeps the rest, then starts the panel.
    void setup() {
        QFETCH(SetupCase, c);
        const QString damage = c.how.section(' ', 1);
        const bool tty = c.how.startsWith("tty");
        Tree t;
        t.useShippedScript(damage == "unlisted" ? 1 : 0);
        const QString profile = t.support("profile.json"), settings = t.support("settings.json");
        const QString stale = settings + ".999999999.tmp", target = t.root() + "/elsewhere.json";
        const QByteArray profileWas = damage == "latin1" ? QByteArray(kProfile).replace("kept", "Jos\xe9") : kProfile;
        const QByteArray settingsWas = damage == "comma" ? QByteArray(kSettings).replace("]}", "],}") : kSettings;
        Tree::write(stale, "{\"half\":"); // as a killed save leaves it
        Tree::write(damage == "link" ? target : profile, profileWas);
        QVERIFY(damage != "link" || QFile::link(target, profile));
        if (damage == "fifo")
            QVERIFY(mkfifo(qPrintable(settings), 0644) == 0);
        else
            Tree::write(settings, settingsWas);
        QCOMPARE(::chmod(qPrintable(settings), damage == "private" ? 0600 : 0644), 0);
        QProcessEnvironment env = t.environment();
        if (!tty && c.how != "none") {
            QFile::remove(t.root() + "/bin/" + (c.how == "zenity" ? "kdialog" : "zenity"));
            env.insert("DISPLAY", ":99");
            env.insert("FAKE_LANG", c.language);
            env.insert("FAKE_DIR", t.music());
            env.insert("FAKE_SOURCE", QString::number(QStringList{"", "mixxx", "serato", "demo"}.indexOf(c.source)));
        }
        Pty pty;
        pty.type(c.keys.toUtf8());

        const auto [status, out] = t.run({"--setup"}, env, tty ? pty.slave() : QString());
        QCOMPARE(status, 0);
        QVERIFY2(out.contains(c.said.toUtf8()), out.constData());
        QCOMPARE(t.runs(), 1);
        QCOMPARE(t.recorded("argv1"), QByteArray("0", 2)); // no arguments
        struct stat info {};
        QVERIFY(lstat(qPrintable(profile), &info) == 0 && S_ISLNK(info.st_mode) == (damage == "link"));
        QVERIFY(lstat(qPrintable(settings), &info) == 0 && S_ISFIFO(info.st_mode) == (damage == "fifo"));
        QCOMPARE(info.st_mode & 0777, damage == "private" ? 0600u : 0644u);
        if (c.language.isEmpty())
            QCOMPARE(readAll(profile), profileWas);
        else
            QCOMPARE(Tree::json(profile), (QJsonObject{{"language", c.language}, {"note", "kept"}}));
        const bool kept = !c.music && c.source == "demo"; // settings.json as it was, damaged or not
        QCOMPARE(QFile::exists(stale), kept);             // the next save removes it
        if (kept) {
            QCOMPARE(damage == "fifo" ? settingsWas : readAll(settings), settingsWas);
            return;
        }
        const QJsonObject saved = Tree::json(settings);
        QCOMPARE(saved.value("music_dir").toString(), c.music ? t.music() : "/srv/music");
        QCOMPARE(saved.value("source").toString(), c.source);
        const QString path = c.source == "mixxx" ? "/srv/mixxx" : c.source == "serato" ? "/Volumes/Gig/_Serato_" : "";
        QCOMPARE(saved.value("source_path").toString(), path);
        QCOMPARE(saved.value("other"), QJsonValue(QJsonArray{1, 2}));
    }
    void stoppingBootpadEndsEverything_data() {
        QTest::addColumn<bool>("tty");
        QTest::addColumn<int>("setups");  // settings-button presses before the stop
        QTest::addColumn<bool>("asking"); // the stop comes while the last setup asks
        QTest::addColumn<int>("signal");
        QTest::newRow("no terminal, panel after two setups") << false << 2 << false << int(SIGTERM);
        QTest::newRow("terminal, panel after two setups") << true << 2 << false << int(SIGHUP);
        QTest::newRow("no terminal, setup's dialog open") << false << 1 << true << int(SIGINT);
        QTest::newRow("terminal, setup asking") << true << 1 << true << int(SIGTERM);
    }
    void stoppingBootpadEndsEverything() {
        QFETCH(bool, tty);
        QFETCH(int, setups);
        QFETCH(bool, asking);
        QFETCH(int, signal);
        Tree t;
        t.useShippedScript(1);
        for (int run = 1; run <= setups; ++run) // the settings button: starts the setup, quits at once
            Tree::write(t.record(QString("action%1").arg(run)), "/bin/bash \"$(pwd)/overlay\" --setup <&0 &\n");
        Tree::write(t.record(QString("action%1").arg(setups + 1)), "exec sleep 60\n");
        QProcessEnvironment env = t.environment();
        env.insert("FAKE_BLOCK", "1");
        env.insert("DISPLAY", asking ? ":99" : ""); // dialogs are shown only with a desktop
        Pty pty;
        pty.type(asking ? QByteArray() : QByteArray("\n\n").repeated(setups));
        QProcess bootpad;
        bootpad.setProcessEnvironment(env);
        if (tty)
            bootpad.setStandardInputFile(pty.slave());
        bootpad.start(t.bootpad(), {"--demo", "two words"});
        const QString dir = QFileInfo(t.appDir()).canonicalFilePath();
        QByteArray out; // a blocked dialog and the last panel sleep
        QTRY_VERIFY_WITH_TIMEOUT(asking && tty ? (out += bootpad.readAllStandardOutput()).contains("Interface language")
                                               : processesIn(dir).contains("sleep 60 "),
                                 20000);
        QCOMPARE(t.runs(), asking ? setups : setups + 1);
        QCOMPARE(Tree::nulSeparated(t.recorded(QString("argv%1").arg(t.runs()))),
                 (QStringList{"2", "--demo", "two words"}));

        QVERIFY(bootpad.processId() > 0 && ::kill(pid_t(bootpad.processId()), signal) == 0);
        QVERIFY(bootpad.waitForFinished(10000));
        QCOMPARE(bootpad.exitCode(), 128 + signal);
        QTRY_COMPARE_WITH_TIMEOUT(processesIn(dir), QStringList(), 5000);
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
