// bootpad as a real process in throw-away bundle trees. The shipped interpreter and the start script are
// small scripts that record how they were run. The product's binary (copied from the build's bundle) is used
// wherever the shipped interpreter decides the outcome; the cases about the system's interpreters and the
// install offer use the test build of the same sources, whose fixed paths lie under CW_BOOTPAD_TEST_ROOT.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "ScriptFiles.h"

#include <signal.h>

using namespace cw::test;

namespace {

const QString kMessage = QStringLiteral("Crate Warden needs Apple\u2019s Command Line Tools, a free one-time "
                                        "download from Apple. Click Install in the box that appears, wait for "
                                        "it to finish, then open Crate Warden again.");
const QString kGenericInstructions = QStringLiteral("To install Python 3, use your distribution's package manager, "
                                                    "for example:\n"
                                                    "    sudo apt-get install python3\n"
                                                    "    sudo dnf install python3\n"
                                                    "    sudo pacman -S python\n");
const QStringList kSystemInterpreters = {
    QStringLiteral("/usr/bin/python3"),
    QStringLiteral("/opt/homebrew/bin/python3"),
    QStringLiteral("/usr/local/bin/python3"),
    QStringLiteral("/Library/Frameworks/Python.framework/Versions/Current/bin/python3"),
};

// A fake interpreter. Kinds: 'w' exits 0, 'f' exits 1, 'h' hangs and ignores SIGTERM, 'n' is not executable,
// 'd' is a directory, '-' is missing. Every run appends its arguments to log.
void makeInterpreter(const QString& path, char kind, const QString& log, const QString& hungPidFile = {}) {
    if (kind == '-')
        return;
    if (kind == 'd') {
        QVERIFY(QDir().mkpath(path));
        return;
    }
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
    bool finished = false;
    int status = -1;
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

Run runProgram(const QString& program, const QStringList& arguments, const QProcessEnvironment& env,
               const QString& workingDir, int timeoutMs = 30000) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDir);
    QElapsedTimer clock;
    clock.start();
    process.start();
    Run run;
    run.finished = process.waitForFinished(timeoutMs);
    run.ms = clock.elapsed();
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// A bundle tree "Crate Warden.app" inside a temporary directory whose own name has a space, holding a copy of
// a launcher binary, a start script that records how it was run, and (optionally) a shipped interpreter.
class Bundle {
public:
    explicit Bundle(const QString& launcherBinary) {
        QDir().mkpath(bundle() + QStringLiteral("/Contents/MacOS"));
        QDir().mkpath(appDir());
        QDir().mkpath(records());
        QFile::copy(launcherBinary, bootpad());
        QFile(bootpad()).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        setStartScript("exit 0\n");
    }

    QString root() const { return m_dir.path() + QStringLiteral("/tree with space"); }
    QString bundle() const { return root() + QStringLiteral("/Crate Warden.app"); }
    QString bootpad() const { return bundle() + QStringLiteral("/Contents/MacOS/bootpad"); }
    QString appDir() const { return bundle() + QStringLiteral("/Contents/Resources/app"); }
    QString shipped() const {
        return bundle() + QStringLiteral("/Contents/Frameworks/Python.framework/Versions/Current/bin/python3.11");
    }
    QString records() const { return root() + QStringLiteral("/records"); }
    QString record(const QString& name) const { return records() + u'/' + name; }
    QByteArray recorded(const QString& name) const { return readFile(record(name)); }
    bool startScriptRan() const { return QFile::exists(record(QStringLiteral("argv"))); }

    // The start script records its arguments ($0 first), working directory, TRK_PYTHON and CW_PROBE, and
    // whether the process named in hung.pid still exists; then it runs tail.
    void setStartScript(const QByteArray& tail) const {
        const QByteArray rec = shellQuote(records());
        writeFile(appDir() + QStringLiteral("/overlay"),
                  "rec=" + rec +
                      "\n"
                      "printf '%s\\0' \"$0\" \"$@\" > \"$rec/argv\"\n"
                      "pwd -P > \"$rec/cwd\"\n"
                      "printf '%s' \"$TRK_PYTHON\" > \"$rec/python\"\n"
                      "printf '%s' \"${CW_PROBE-unset}\" > \"$rec/probe\"\n"
                      "if [ -s \"$rec/hung.pid\" ]; then\n"
                      "    if kill -0 \"$(cat \"$rec/hung.pid\")\" 2>/dev/null; then echo alive; else echo gone; fi"
                      " > \"$rec/hung.state\"\n"
                      "fi\n"
                      "echo 'start script output'\n" +
                      tail,
                  false);
    }

    Run run(const QStringList& arguments = {}, QProcessEnvironment env = baseEnvironment(), const QString& program = {},
            const QString& workingDir = QDir::tempPath()) const {
        return runProgram(program.isEmpty() ? bootpad() : program, arguments, env, workingDir);
    }

private:
    QTemporaryDir m_dir;
};

QString canonical(const QString& path) {
    return QFileInfo(path).canonicalFilePath();
}

} // namespace

class TestBootpad : public QObject {
    Q_OBJECT

    QString product() const { return QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/bootpad"); }
    QString fixedPaths() const { return QStringLiteral(CW_BOOTPAD_FIXED_PATHS); }
    QString fixedRoot() const { return QStringLiteral(CW_BOOTPAD_TEST_ROOT); }
    QString systemInterpreter(int i) const { return fixedRoot() + kSystemInterpreters[i]; }

private slots:
    void init() {
        // The test build's system paths start empty for every case.
        QDir(fixedRoot()).removeRecursively();
        QVERIFY(QDir().mkpath(fixedRoot()));
    }
    void cleanupTestCase() { QDir(fixedRoot()).removeRecursively(); }

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
    }
    void choosesFirstCandidateThatRuns() {
        QFETCH(QByteArray, kinds);
        QFETCH(int, chosen);
        QFETCH(QByteArray, ran);
        Bundle b(fixedPaths());
        QStringList candidates{b.shipped()};
        for (int i = 0; i < 4; ++i)
            candidates << systemInterpreter(i);
        for (int i = 0; i < 5; ++i)
            makeInterpreter(candidates[i], kinds[i], b.record(QStringLiteral("interpreter%1").arg(i)));

        const Run run = b.run();
        QVERIFY(run.finished);
        QCOMPARE(run.status, 0);
        QCOMPARE(QString::fromUtf8(b.recorded(QStringLiteral("python"))), candidates[chosen]);
        for (int i = 0; i < 5; ++i) {
            const QByteArray log = b.recorded(QStringLiteral("interpreter%1").arg(i));
            if (ran[i] == '1')
                QCOMPARE(nulSeparated(log), (QStringList{QStringLiteral("-c"), QStringLiteral("pass")}));
            else
                QVERIFY2(log.isEmpty(), qPrintable(QStringLiteral("candidate %1 was started").arg(i)));
        }
    }

    void hangingCandidateIsEndedAfterSixSeconds() {
        Bundle b(fixedPaths());
        makeInterpreter(b.shipped(), 'h', b.record(QStringLiteral("shipped")), b.record(QStringLiteral("hung.pid")));
        makeInterpreter(systemInterpreter(0), 'w', b.record(QStringLiteral("system")));

        const Run run = b.run();
        QVERIFY(run.finished);
        QCOMPARE(run.status, 0);
        QVERIFY2(run.ms >= 6000, qPrintable(QString::number(run.ms)));
        QVERIFY2(run.ms < 15000, qPrintable(QString::number(run.ms)));
        QCOMPARE(QString::fromUtf8(b.recorded(QStringLiteral("python"))), systemInterpreter(0));
        // Even a candidate that ignores SIGTERM is gone, and reaped, before the start script runs.
        QCOMPARE(b.recorded(QStringLiteral("hung.state")), QByteArray("gone\n"));
    }

    void noUsableInterpreterOffersInstall_data() {
        QTest::addColumn<bool>("platformInstaller"); // osascript and xcode-select exist
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("dialog");         // dialog program on PATH
        QTest::addColumn<QString>("packageManager"); // under the fixed root
        QTest::addColumn<QString>("expectedErr");
        QTest::addColumn<QStringList>("expectedPrograms");

        const QString alert =
            QStringLiteral("display alert \"One more thing to install\" message \"") + kMessage + u'"';
        QTest::newRow("platform installer: dialog, then the Command Line Tools")
            << true << QString() << QString() << QString() << QString()
            << QStringList{QStringLiteral("osascript"), QStringLiteral("-e"), alert, QStringLiteral("xcode-select"),
                           QStringLiteral("--install")};
        const QString generic = kMessage + u'\n' + kGenericInstructions;
        QTest::newRow("desktop with zenity")
            << false << QStringLiteral(":99") << QStringLiteral("zenity") << QString() << generic
            << QStringList{QStringLiteral("zenity"), QStringLiteral("--warning"), QStringLiteral("--no-markup"),
                           QStringLiteral("--title=One more thing to install"),
                           QStringLiteral("--text=") + kMessage + QStringLiteral("\n\n") + kGenericInstructions};
        QTest::newRow("desktop with kdialog")
            << false << QStringLiteral(":99") << QStringLiteral("kdialog") << QString() << generic
            << QStringList{QStringLiteral("kdialog"), QStringLiteral("--title"),
                           QStringLiteral("One more thing to install"), QStringLiteral("--sorry"),
                           kMessage + QStringLiteral("\n\n") + kGenericInstructions};
        QTest::newRow("no desktop: standard error only")
            << false << QString() << QStringLiteral("zenity") << QString() << generic << QStringList();
        QTest::newRow("the system's package manager is named")
            << false << QString() << QString() << QStringLiteral("/usr/bin/dnf")
            << kMessage + QStringLiteral("\nTo install Python 3 on this system, run:\n    sudo dnf install python3\n")
            << QStringList();
    }
    void noUsableInterpreterOffersInstall() {
        QFETCH(bool, platformInstaller);
        QFETCH(QString, display);
        QFETCH(QString, dialog);
        QFETCH(QString, packageManager);
        QFETCH(QString, expectedErr);
        QFETCH(QStringList, expectedPrograms);

        Bundle b(fixedPaths());
        const QString programs = b.record(QStringLiteral("programs"));
        // Every way of being unusable, one per candidate.
        makeInterpreter(b.shipped(), 'f', b.record(QStringLiteral("i0")));
        makeInterpreter(systemInterpreter(0), 'n', b.record(QStringLiteral("i1")));
        makeInterpreter(systemInterpreter(1), 'd', b.record(QStringLiteral("i2")));
        makeInterpreter(systemInterpreter(2), 'f', b.record(QStringLiteral("i3")));
        if (platformInstaller) {
            makeRecorder(fixedRoot() + QStringLiteral("/usr/bin/osascript"), programs);
            makeRecorder(fixedRoot() + QStringLiteral("/usr/bin/xcode-select"), programs);
        }
        if (!packageManager.isEmpty())
            writeFile(fixedRoot() + packageManager, "#!/bin/sh\nexit 0\n", true);
        QProcessEnvironment env = baseEnvironment();
        const QString bin = b.root() + QStringLiteral("/bin");
        QDir().mkpath(bin);
        if (!dialog.isEmpty())
            makeRecorder(bin + u'/' + dialog, programs);
        env.insert(QStringLiteral("PATH"), bin + QStringLiteral(":/usr/bin:/bin"));
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);

        const Run run = b.run({QStringLiteral("--ignored")}, env);
        QVERIFY(run.finished);
        QCOMPARE(run.status, 1);
        QCOMPARE(QString::fromUtf8(run.err), expectedErr);
        QCOMPARE(nulSeparated(readFile(programs)), expectedPrograms);
        QVERIFY(!b.startScriptRan());
        QCOMPARE(nulSeparated(b.recorded(QStringLiteral("i0"))),
                 (QStringList{QStringLiteral("-c"), QStringLiteral("pass")}));
        QCOMPARE(nulSeparated(b.recorded(QStringLiteral("i3"))),
                 (QStringList{QStringLiteral("-c"), QStringLiteral("pass")}));
        QVERIFY(b.recorded(QStringLiteral("i1")).isEmpty());
    }

    // --- the start script (the product's binary, shipped interpreter runs) ---

    void startsThroughSymbolicLinks_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("absolute link") << QStringLiteral("absolute");
        QTest::newRow("relative path to a link") << QStringLiteral("relative");
        QTest::newRow("link to a link") << QStringLiteral("chain");
        QTest::newRow("bare name found through PATH") << QStringLiteral("path");
    }
    void startsThroughSymbolicLinks() {
        QFETCH(QString, how);
        Bundle b(product());
        makeInterpreter(b.shipped(), 'w', b.record(QStringLiteral("shipped")));
        const QString links = b.root() + QStringLiteral("/elsewhere/links dir");
        QVERIFY(QDir().mkpath(links));
        QVERIFY(QFile::link(b.bootpad(), links + QStringLiteral("/start")));
        QVERIFY(QFile::link(links + QStringLiteral("/start"), links + QStringLiteral("/start again")));

        Run run;
        if (how == QLatin1String("absolute"))
            run = b.run({}, baseEnvironment(), links + QStringLiteral("/start"));
        else if (how == QLatin1String("relative"))
            run = b.run({}, baseEnvironment(), QStringLiteral("./start"), links);
        else if (how == QLatin1String("chain"))
            run = b.run({}, baseEnvironment(), links + QStringLiteral("/start again"));
        else {
            // The shell passes the bare name on as the first argument, as it does for a command typed by name.
            QProcessEnvironment env = baseEnvironment();
            env.insert(QStringLiteral("PATH"), links + QStringLiteral(":/usr/bin:/bin"));
            run = b.run({QStringLiteral("-c"), QStringLiteral("exec start")}, env, QStringLiteral("/bin/bash"));
        }
        QVERIFY(run.finished);
        QCOMPARE(run.status, 0);
        QCOMPARE(QString::fromUtf8(b.recorded(QStringLiteral("python"))), canonical(b.shipped()));
        QCOMPARE(QString::fromUtf8(b.recorded(QStringLiteral("cwd"))).trimmed(), canonical(b.appDir()));
    }

    void passesArgumentsEnvironmentAndOutput() {
        Bundle b(product());
        makeInterpreter(b.shipped(), 'w', b.record(QStringLiteral("shipped")));
        QProcessEnvironment env = baseEnvironment();
        env.insert(QStringLiteral("CW_PROBE"), QStringLiteral("inherited value"));
        const QStringList arguments{QStringLiteral("--setup"), QStringLiteral("two words"), QString(),
                                    QStringLiteral("ünïcödé"), QStringLiteral("$HOME")};

        const Run run = b.run(arguments, env);
        QVERIFY(run.finished);
        QCOMPARE(run.status, 0);
        QCOMPARE(nulSeparated(b.recorded(QStringLiteral("argv"))),
                 QStringList{QStringLiteral("./overlay")} + arguments);
        // An existing TRK_PYTHON is replaced by the chosen interpreter; everything else is inherited.
        QCOMPARE(QString::fromUtf8(b.recorded(QStringLiteral("python"))), canonical(b.shipped()));
        QCOMPARE(b.recorded(QStringLiteral("probe")), QByteArray("inherited value"));
        QCOMPARE(run.out, QByteArray("start script output\n"));
    }

    void endsWithStartScriptStatus_data() {
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<bool>("removeStartScript");
        QTest::addColumn<int>("status");
        QTest::newRow("0") << QByteArray("exit 0\n") << false << 0;
        QTest::newRow("3") << QByteArray("exit 3\n") << false << 3;
        QTest::newRow("255") << QByteArray("exit 255\n") << false << 255;
        // The signal's number, as the platform's process status reports a death by signal.
        QTest::newRow("ended by SIGTERM") << QByteArray("kill -TERM $$\n") << false << int(SIGTERM);
        QTest::newRow("missing start script: the shell's 127") << QByteArray() << true << 127;
    }
    void endsWithStartScriptStatus() {
        QFETCH(QByteArray, tail);
        QFETCH(bool, removeStartScript);
        QFETCH(int, status);
        Bundle b(product());
        makeInterpreter(b.shipped(), 'w', b.record(QStringLiteral("shipped")));
        b.setStartScript(tail);
        if (removeStartScript)
            QVERIFY(QFile::remove(b.appDir() + QStringLiteral("/overlay")));

        const Run run = b.run();
        QVERIFY(run.finished);
        QCOMPARE(run.status, status);
        if (removeStartScript) {
            // bash's own complaint, on the standard error it inherited.
            QVERIFY2(run.err.contains("./overlay") && run.err.contains("No such file"), run.err.constData());
        }
    }

    void startScriptThatCannotStart() {
        Bundle b(product());
        makeInterpreter(b.shipped(), 'w', b.record(QStringLiteral("shipped")));
        // Without the resource directory there is nowhere to start the shell.
        QVERIFY(QDir(b.bundle() + QStringLiteral("/Contents/Resources")).removeRecursively());

        const Run run = b.run({QStringLiteral("x")});
        QVERIFY(run.finished);
        QCOMPARE(run.status, 1);
        QCOMPARE(QString::fromUtf8(run.err),
                 QStringLiteral("Crate Warden: could not start (No such file or directory)\n"));
        QVERIFY(run.out.isEmpty());
    }

    void passesStopRequestOnToStartScript() {
        Bundle b(product());
        makeInterpreter(b.shipped(), 'w', b.record(QStringLiteral("shipped")));
        b.setStartScript("trap 'exit 7' TERM\n"
                         "touch \"$rec/ready\"\n"
                         "for _ in $(seq 1 600); do sleep 0.05; done\n"
                         "exit 1\n");
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
