// bootpad as a real process in throw-away bundle trees; the shipped interpreter and the start script are
// small scripts that record how they were run. The product's binary is used wherever the shipped
// interpreter decides the outcome; the cases about the system's interpreters and the install offer use
// the test build of the same sources, whose fixed paths lie under CW_BOOTPAD_TEST_ROOT.

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include "ScriptFiles.h"

#include <signal.h>

using namespace cw::test;

namespace {

const QString kFixedRoot = QStringLiteral(CW_BOOTPAD_TEST_ROOT);
const QString kMessage = QStringLiteral("Crate Warden needs Apple\u2019s Command Line Tools, a free one-time "
                                        "download from Apple. Click Install in the box that appears, wait for "
                                        "it to finish, then open Crate Warden again.");
const QString kGenericInstructions = QStringLiteral("To install Python 3, use your distribution's package manager, "
                                                    "for example:\n    sudo apt-get install python3\n"
                                                    "    sudo dnf install python3\n    sudo pacman -S python\n");
const QStringList kRunTest{QStringLiteral("-c"), QStringLiteral("pass")};

QString systemInterpreter(int i) {
    static const QStringList paths{"/usr/bin/python3", "/opt/homebrew/bin/python3", "/usr/local/bin/python3",
                                   "/Library/Frameworks/Python.framework/Versions/Current/bin/python3"};
    return kFixedRoot + paths.at(i);
}

// A fake interpreter. Kinds: 'w' exits 0, 'f' exits 1, 'h' hangs and ignores SIGTERM, 'n' is not executable,
// 'd' is a directory, '-' is missing. Every run appends its arguments to log.
void makeInterpreter(const QString& path, char kind, const QString& log, const QString& hungPidFile = {}) {
    if (kind == 'd')
        QVERIFY(QDir().mkpath(path));
    if (kind == 'd' || kind == '-')
        return;
    QByteArray text = "#!/bin/bash\nprintf '%s\\0' \"$@\" >> " + shellQuote(log) + "\n";
    if (kind == 'h')
        text += "echo $$ > " + shellQuote(hungPidFile) + "\ntrap '' TERM\nexec sleep 60\n";
    else
        text += kind == 'f' ? "exit 1\n" : "exit 0\n";
    writeFile(path, text, kind != 'n');
}

// A program that appends its own name and arguments, NUL-separated, to log.
void makeRecorder(const QString& path, const QString& log) {
    writeFile(path, "#!/bin/bash\nprintf '%s\\0' \"$(basename \"$0\")\" \"$@\" >> " + shellQuote(log) + "\n", true);
}

struct Run {
    int status = -1; // -1: crashed or still running after 30 s
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

QProcessEnvironment baseEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("TRK_PYTHON"), QStringLiteral("/not/the/chosen/one"));
    return env;
}

// A bundle whose start script records its arguments ($0 first), working directory, TRK_PYTHON and CW_PROBE,
// and whether the process named in hung.pid still exists, then runs a tail.
class Bundle : public BundleTree {
public:
    explicit Bundle(const QString& launcher = QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/bootpad"),
                    char shippedKind = 'w')
        : BundleTree(launcher) {
        setStartScript("exit 0\n");
        makeInterpreter(shipped(), shippedKind, record(QStringLiteral("shipped")), record(QStringLiteral("hung.pid")));
    }

    bool startScriptRan() const { return QFile::exists(record(QStringLiteral("argv"))); }
    QString python() const { return QString::fromUtf8(recorded(QStringLiteral("python"))); }

    void setStartScript(const QByteArray& tail) const {
        writeFile(appDir() + QStringLiteral("/overlay"),
                  "rec=" + shellQuote(records()) +
                      "\nprintf '%s\\0' \"$0\" \"$@\" > \"$rec/argv\"\n"
                      "pwd -P > \"$rec/cwd\"\n"
                      "printf '%s' \"$TRK_PYTHON\" > \"$rec/python\"\n"
                      "printf '%s' \"${CW_PROBE-unset}\" > \"$rec/probe\"\n"
                      "if [ -s \"$rec/hung.pid\" ]; then\n"
                      "    if kill -0 \"$(cat \"$rec/hung.pid\")\" 2>/dev/null; then echo alive; else echo gone; fi"
                      " > \"$rec/hung.state\"\nfi\n"
                      "echo 'start script output'\n" +
                      tail);
    }

    Run run(const QStringList& arguments = {}, const QProcessEnvironment& env = baseEnvironment(),
            const QString& program = {}, const QString& workingDir = QDir::tempPath()) const {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(workingDir);
        QElapsedTimer clock;
        clock.start();
        process.start(program.isEmpty() ? bootpad() : program, arguments);
        Run run;
        const bool finished = process.waitForFinished(30000);
        run.ms = clock.elapsed();
        if (!finished) {
            process.kill();
            process.waitForFinished();
        }
        run.status = finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        return run;
    }
};

QString canonical(const QString& path) {
    return QFileInfo(path).canonicalFilePath();
}

} // namespace

class TestBootpad : public QObject {
    Q_OBJECT

    static QString fixedPaths() { return QStringLiteral(CW_BOOTPAD_FIXED_PATHS); }

private slots:
    void init() {
        // The test build's system paths start empty for every case.
        QDir(kFixedRoot).removeRecursively();
        QVERIFY(QDir().mkpath(kFixedRoot));
    }
    void cleanupTestCase() { QDir(kFixedRoot).removeRecursively(); }

    // --- choosing the interpreter (test build: all five candidates are fakes) ---

    void choosesFirstCandidateThatRuns_data() {
        QTest::addColumn<QByteArray>("kinds"); // shipped, then the four system interpreters
        QTest::addColumn<int>("chosen");
        QTest::addColumn<QByteArray>("ran");
        QTest::newRow("shipped runs: no system interpreter is started")
            << QByteArray("wwwww") << 0 << QByteArray("10000");
        QTest::newRow("no shipped interpreter") << QByteArray("-wwww") << 1 << QByteArray("01000");
        QTest::newRow("exit status 1 is skipped") << QByteArray("ffwww") << 2 << QByteArray("11100");
        QTest::newRow("not executable or a directory: skipped unrun")
            << QByteArray("ndfww") << 3 << QByteArray("00110");
        QTest::newRow("only the last one runs") << QByteArray("ffffw") << 4 << QByteArray("11111");
        // A hanging candidate that ignores SIGTERM is ended after 6 s, and reaped, before the start script runs.
        QTest::newRow("hanging candidate") << QByteArray("hw---") << 1 << QByteArray("11000");
    }
    void choosesFirstCandidateThatRuns() {
        QFETCH(QByteArray, kinds);
        QFETCH(int, chosen);
        QFETCH(QByteArray, ran);
        Bundle b(fixedPaths(), kinds[0]);
        for (int i = 0; i < 4; ++i)
            makeInterpreter(systemInterpreter(i), kinds[i + 1], b.record(QStringLiteral("system%1").arg(i)));

        const Run run = b.run();
        QCOMPARE(run.status, 0);
        const bool hung = kinds.contains('h');
        QVERIFY2(hung ? run.ms >= 6000 && run.ms < 15000 : run.ms < 5000, qPrintable(QString::number(run.ms)));
        QCOMPARE(b.recorded(QStringLiteral("hung.state")), hung ? QByteArray("gone\n") : QByteArray());
        QCOMPARE(b.python(), chosen ? systemInterpreter(chosen - 1) : b.shipped());
        for (int i = 0; i < 5; ++i) {
            const QByteArray log = b.recorded(i ? QStringLiteral("system%1").arg(i - 1) : QStringLiteral("shipped"));
            QCOMPARE(nulSeparated(log), ran[i] == '1' ? kRunTest : QStringList());
        }
    }

    void noUsableInterpreterOffersInstall_data() {
        QTest::addColumn<bool>("platformInstaller"); // osascript and xcode-select exist
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("dialog");         // dialog program on PATH
        QTest::addColumn<QString>("packageManager"); // under the fixed root
        QTest::addColumn<QString>("expectedErr");
        QTest::addColumn<QStringList>("expectedPrograms");
        const QString alert = "display alert \"One more thing to install\" message \"" + kMessage + u'"';
        const QString generic = kMessage + u'\n' + kGenericInstructions;
        const QString dialogText = kMessage + "\n\n" + kGenericInstructions;
        QTest::newRow("platform installer: dialog, then the Command Line Tools")
            << true << QString() << QString() << QString() << QString()
            << QStringList{"osascript", "-e", alert, "xcode-select", "--install"};
        QTest::newRow("desktop with zenity")
            << false << ":99"
            << "zenity" << QString() << generic
            << QStringList{"zenity", "--warning", "--no-markup", "--title=One more thing to install",
                           "--text=" + dialogText};
        QTest::newRow("desktop with kdialog")
            << false << ":99"
            << "kdialog" << QString() << generic
            << QStringList{"kdialog", "--title", "One more thing to install", "--sorry", dialogText};
        QTest::newRow("no desktop: standard error only")
            << false << QString() << "zenity" << QString() << generic << QStringList();
        QTest::newRow("the system's package manager is named")
            << false << QString() << QString() << "/usr/bin/dnf"
            << kMessage + "\nTo install Python 3 on this system, run:\n    sudo dnf install python3\n"
            << QStringList();
    }
    void noUsableInterpreterOffersInstall() {
        QFETCH(bool, platformInstaller);
        QFETCH(QString, display);
        QFETCH(QString, dialog);
        QFETCH(QString, packageManager);
        QFETCH(QString, expectedErr);
        QFETCH(QStringList, expectedPrograms);

        // Every way of being unusable, one per candidate.
        Bundle b(fixedPaths(), 'f');
        const QString programs = b.record(QStringLiteral("programs"));
        makeInterpreter(systemInterpreter(0), 'n', b.record(QStringLiteral("system0")));
        makeInterpreter(systemInterpreter(1), 'd', b.record(QStringLiteral("system1")));
        makeInterpreter(systemInterpreter(2), 'f', b.record(QStringLiteral("system2")));
        if (platformInstaller) {
            makeRecorder(kFixedRoot + QStringLiteral("/usr/bin/osascript"), programs);
            makeRecorder(kFixedRoot + QStringLiteral("/usr/bin/xcode-select"), programs);
        }
        if (!packageManager.isEmpty())
            writeFile(kFixedRoot + packageManager, "#!/bin/sh\nexit 0\n", true);
        QProcessEnvironment env = baseEnvironment();
        const QString bin = b.root() + QStringLiteral("/bin");
        QDir().mkpath(bin);
        if (!dialog.isEmpty())
            makeRecorder(bin + u'/' + dialog, programs);
        env.insert(QStringLiteral("PATH"), bin + QStringLiteral(":/usr/bin:/bin"));
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);

        const Run run = b.run({QStringLiteral("--ignored")}, env);
        QCOMPARE(run.status, 1);
        QCOMPARE(QString::fromUtf8(run.err), expectedErr);
        QCOMPARE(nulSeparated(readFile(programs)), expectedPrograms);
        QVERIFY(!b.startScriptRan());
        QCOMPARE(nulSeparated(b.recorded(QStringLiteral("shipped"))), kRunTest);
        QCOMPARE(nulSeparated(b.recorded(QStringLiteral("system2"))), kRunTest);
        QVERIFY(b.recorded(QStringLiteral("system0")).isEmpty());
    }

    // --- the start script (the product's binary, shipped interpreter runs) ---

    void startsTheStartScript_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("directly") << "direct";
        QTest::newRow("through a link to a link") << "chain";
        QTest::newRow("relative path to a link") << "relative";
        QTest::newRow("bare name found through PATH") << "path";
    }
    void startsTheStartScript() {
        QFETCH(QString, how);
        Bundle b;
        const QString links = b.root() + QStringLiteral("/elsewhere/links dir");
        QVERIFY(QDir().mkpath(links));
        QVERIFY(QFile::link(b.bootpad(), links + QStringLiteral("/start")));
        QVERIFY(QFile::link(links + QStringLiteral("/start"), links + QStringLiteral("/start again")));
        QProcessEnvironment env = baseEnvironment();
        env.insert(QStringLiteral("CW_PROBE"), QStringLiteral("inherited value"));
        env.insert(QStringLiteral("PATH"), links + QStringLiteral(":/usr/bin:/bin"));
        const QStringList arguments{"--setup", "two words", "", "ünïcödé", "$HOME"};

        Run run;
        if (how == "direct")
            run = b.run(arguments, env);
        else if (how == "chain")
            run = b.run(arguments, env, links + QStringLiteral("/start again"));
        else if (how == "relative")
            run = b.run(arguments, env, QStringLiteral("./start"), links);
        else // the shell passes the bare name on as the first argument, as for a command typed by name
            run = b.run(QStringList{"-c", "exec start \"$@\"", "bash"} + arguments, env, QStringLiteral("/bin/bash"));
        QCOMPARE(run.status, 0);
        QCOMPARE(nulSeparated(b.recorded(QStringLiteral("argv"))), QStringList{"./overlay"} + arguments);
        QCOMPARE(QString::fromUtf8(b.recorded(QStringLiteral("cwd"))).trimmed(), canonical(b.appDir()));
        // An existing TRK_PYTHON is replaced by the chosen interpreter; everything else is inherited.
        QCOMPARE(b.python(), canonical(b.shipped()));
        QCOMPARE(b.recorded(QStringLiteral("probe")), QByteArray("inherited value"));
        QCOMPARE(run.out, QByteArray("start script output\n"));
    }

    void endsWithStartScriptStatus_data() {
        QTest::addColumn<QByteArray>("tail"); // "-": no start script; "!": no resource directory to start it in
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("err"); // the one line standard error must hold, if any
        QTest::newRow("0") << QByteArray("exit 0\n") << 0 << QByteArray();
        QTest::newRow("3") << QByteArray("exit 3\n") << 3 << QByteArray();
        QTest::newRow("255") << QByteArray("exit 255\n") << 255 << QByteArray();
        // The signal's number, as the platform's process status reports a death by signal.
        QTest::newRow("ended by SIGTERM") << QByteArray("kill -TERM $$\n") << int(SIGTERM) << QByteArray();
        // bash's own complaint, on the standard error it inherited.
        QTest::newRow("missing start script: the shell's 127")
            << QByteArray("-") << 127 << QByteArray("./overlay: No such file");
        QTest::newRow("start script cannot start")
            << QByteArray("!") << 1 << QByteArray("Crate Warden: could not start (No such file or directory)\n");
    }
    void endsWithStartScriptStatus() {
        QFETCH(QByteArray, tail);
        QFETCH(int, status);
        QFETCH(QByteArray, err);
        Bundle b;
        b.setStartScript(tail);
        if (tail == "-")
            QVERIFY(QFile::remove(b.appDir() + QStringLiteral("/overlay")));
        if (tail == "!")
            QVERIFY(QDir(b.bundle() + QStringLiteral("/Contents/Resources")).removeRecursively());
        const Run run = b.run();
        QCOMPARE(run.status, status);
        QVERIFY2(run.err.contains(err) && run.err.count('\n') == (err.isEmpty() ? 0 : 1), run.err.constData());
        QCOMPARE(run.out, tail.size() == 1 ? QByteArray() : QByteArray("start script output\n"));
    }

    void passesStopRequestOnToStartScript() {
        Bundle b;
        b.setStartScript("trap 'exit 7' TERM\ntouch \"$rec/ready\"\n"
                         "for _ in $(seq 1 600); do sleep 0.05; done\nexit 1\n");
        QProcess process;
        process.setProcessEnvironment(baseEnvironment());
        process.start(b.bootpad(), {});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(b.record(QStringLiteral("ready"))), 10000);
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 7);
    }
};

QTEST_GUILESS_MAIN(TestBootpad)
#include "tst_bootpad.moc"
