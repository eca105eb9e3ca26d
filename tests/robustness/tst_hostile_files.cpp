// Hostile files where the overlay expects its small text files (port, window position, brand, profile):
// every kind of unusable file gives the fallback at once, a FIFO never blocks the panel, and a support
// directory that cannot be written loses nothing and crashes nothing.
//
// CI runs as root, and root reads and writes whatever the file modes say. Cases that need a mode to hold
// drop the capabilities that override it on the main thread for their duration (capabilities are per
// thread on Linux), and skip, saying so, only where even that is not possible.

#include "config/FileText.h"
#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "support/TestTree.h"
#include "ui/KeyPanel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

using namespace cw;
using namespace cw::test;

namespace {

enum class Role { Port, Position, Brand, Profile };
enum class Kind {
    Valid,
    Missing,
    Empty,
    Oversized,
    Sparse,
    Binary,
    Directory,
    Dangling,
    Loop,
    Fifo,
    Device,
    ReadError,
    Unreadable
};

const QString kCueview = QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/cueview");

// Where a tree's support directory is when the brand file names nothing.
QString supportOf(const TestTree& tree) {
    return tree.home() + QStringLiteral("/Library/Application Support/Crate Warden");
}

QString pathOf(Role role, const TestTree& tree) {
    switch (role) {
    case Role::Port:
        return supportOf(tree) + QStringLiteral("/port");
    case Role::Position:
        return supportOf(tree) + QStringLiteral("/.overlay_pos");
    case Role::Brand:
        return tree.appDir() + QStringLiteral("/brand.py");
    case Role::Profile:
        return supportOf(tree) + QStringLiteral("/profile.json");
    }
    return {};
}

QByteArray validContent(Role role) {
    switch (role) {
    case Role::Port:
        return "9000\n";
    case Role::Position:
        return "100 200";
    case Role::Brand:
        return "BRAND_SHORT\", \"Zed\"\nBRAND_NAME\", \"Zed Crates\"\n";
    case Role::Profile:
        return "{\"language\": \"fr\"}";
    }
    return {};
}

// What each role may legitimately hold; one byte more is refused (see config/FileText.h, Settings.cpp).
qint64 limitOf(Role role) {
    return role == Role::Port || role == Role::Position ? kMaxTextFileBytes : qint64(16) * 1024 * 1024;
}

// Holds the calling thread to the file modes even as root by dropping, from its effective set, the
// capabilities that bypass them. Restores them when it goes. A no-op for an ordinary user.
class FileModesEnforced {
public:
    FileModesEnforced() {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH | 1u << CAP_FOWNER);
        m_dropped = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~FileModesEnforced() {
        if (m_dropped)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    FileModesEnforced(const FileModesEnforced&) = delete;
    FileModesEnforced& operator=(const FileModesEnforced&) = delete;

private:
    __user_cap_header_struct m_header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2] = {};
    bool m_dropped = false;
};

// Whether the modes hold on this thread now: a file of mode 000 cannot be opened.
bool modesHold(const QString& scratchDir) {
    const QByteArray probe = QFile::encodeName(scratchDir + QStringLiteral("/.mode-probe"));
    const int created = ::open(probe.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0000);
    if (created >= 0)
        ::close(created);
    ::chmod(probe.constData(), 0000);
    const int fd = ::open(probe.constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    ::unlink(probe.constData());
    return fd < 0;
}

void makeHostile(Kind kind, Role role, const QString& path, const TestTree& tree) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray native = QFile::encodeName(path);
    const QByteArray valid = validContent(role);
    switch (kind) {
    case Kind::Valid:
        tree.write(path, valid);
        break;
    case Kind::Missing:
        break;
    case Kind::Empty:
        tree.write(path, QByteArray());
        break;
    case Kind::Oversized:
        // The valid value, then blanks that every parser would skip: only the size is wrong.
        tree.write(path, valid + QByteArray(limitOf(role) + 1 - valid.size(), ' '));
        break;
    case Kind::Sparse:
        tree.write(path, valid);
        QVERIFY(::truncate(native.constData(), qint64(8) << 30) == 0);
        break;
    case Kind::Binary:
        tree.write(path, valid + QByteArray("\xff\xfe\x00\x80\xc3", 5));
        break;
    case Kind::Directory:
        QVERIFY(QDir().mkpath(path));
        tree.write(path + QStringLiteral("/inside"), valid);
        break;
    case Kind::Dangling:
        QVERIFY(QFile::link(path + QStringLiteral(".gone"), path));
        break;
    case Kind::Loop:
        QVERIFY(::symlink(native.constData(), native.constData()) == 0);
        break;
    case Kind::Fifo:
        QVERIFY(::mkfifo(native.constData(), 0644) == 0);
        break;
    case Kind::Device:
        // Endless content: read to its end, it would never end.
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
        break;
    case Kind::ReadError:
        // A regular file that opens, and whose read fails (EIO at address 0): unreadable even for root.
        QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), path));
        break;
    case Kind::Unreadable:
        tree.write(path, valid);
        QVERIFY(::chmod(native.constData(), 0000) == 0);
        break;
    }
}

// Runs check; when it is still running after the limit, opens the FIFO at fifoPath for writing and
// closes it again, which ends any open of it that blocks. Returns whether that rescue was needed.
template <typename Check>
bool needsRescue(const QString& fifoPath, Check&& check) {
    std::atomic<bool> done{false};
    std::atomic<bool> rescued{false};
    std::thread watchdog([&] {
        QElapsedTimer clock;
        clock.start();
        while (!done) {
            if (clock.elapsed() > 3000 && !rescued) {
                const int fd = ::open(QFile::encodeName(fifoPath).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    rescued = true;
                    ::close(fd);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    check();
    done = true;
    watchdog.join();
    return rescued;
}

} // namespace

class TestHostileFiles : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void fallback_data();
    void fallback();
    void fifoSwappedInAfterTheLookDoesNotBlock();

    void savePosNeverReplacesADevice();
    void supportThatCannotBeCreated();
    void readOnlySupportLosesNothing();
    void overlayRunsWithoutASupportDirectory();

private:
    QPoint m_defaultTopLeft;
};

void TestHostileFiles::initTestCase() {
    // Where the panel goes when no saved position is usable.
    TestTree tree;
    tree.install();
    AppDelegate d;
    d.build();
    m_defaultTopLeft = d.panel->pos();
}

void TestHostileFiles::fallback_data() {
    QTest::addColumn<Role>("role");
    QTest::addColumn<Kind>("kind");
    const std::pair<Role, const char*> roles[] = {
        {Role::Port, "port"}, {Role::Position, "position"}, {Role::Brand, "brand"}, {Role::Profile, "profile"}};
    const std::pair<Kind, const char*> kinds[] = {
        {Kind::Valid, "valid"},         {Kind::Missing, "missing"},        {Kind::Empty, "empty"},
        {Kind::Oversized, "oversized"}, {Kind::Sparse, "sparse 8 GiB"},    {Kind::Binary, "binary"},
        {Kind::Directory, "directory"}, {Kind::Dangling, "dangling link"}, {Kind::Loop, "link loop"},
        {Kind::Fifo, "FIFO"},           {Kind::Device, "/dev/zero"},       {Kind::ReadError, "read error"},
        {Kind::Unreadable, "mode 000"}};
    for (const auto& [role, roleName] : roles) {
        for (const auto& [kind, kindName] : kinds)
            QTest::addRow("%s: %s", roleName, kindName) << role << kind;
    }
}

void TestHostileFiles::fallback() {
    QFETCH(Role, role);
    QFETCH(Kind, kind);
    TestTree tree;
    const QString path = pathOf(role, tree);
    makeHostile(kind, role, path, tree);
    if (QTest::currentTestFailed())
        return;

    std::optional<FileModesEnforced> modes;
    if (kind == Kind::Unreadable) {
        modes.emplace();
        if (!modesHold(tree.root()))
            QSKIP("running as root and unable to drop the capabilities that override file modes");
    }

    // Start-up reads the brand and profile files; the port and position are read when used.
    QString outcome;
    bool fallback = false;
    QElapsedTimer clock;
    clock.start();
    const bool rescued = needsRescue(path, [&] {
        QProcessEnvironment env; // no TRK_LANG: the profile decides, else the preferred languages
        installSettings(computeSettings(tree.inputs(env, {QStringLiteral("de-DE")})));
        switch (role) {
        case Role::Port:
            outcome = QString::number(enginePort());
            fallback = enginePort() == kDefaultEnginePort && JSON_URL().port() == int(kDefaultEnginePort);
            break;
        case Role::Position: {
            AppDelegate d;
            d.build();
            outcome = QStringLiteral("%1,%2").arg(d.panel->pos().x()).arg(d.panel->pos().y());
            fallback = d.panel->pos() == m_defaultTopLeft;
            // Saving over whatever is there neither blocks nor fails loudly. Links to system files are
            // left out here: savePosNeverReplacesADevice checks those on a device of the test's own.
            if (kind != Kind::Device && kind != Kind::ReadError) {
                d.panel->move(d.panel->pos() + QPoint(7, 7));
                d.savePos();
            }
            break;
        }
        case Role::Brand:
            outcome = settings().BRAND + u'/' + settings().SUPPORT_NAME;
            fallback = settings().BRAND == QStringLiteral("Warden") &&
                       settings().SUPPORT_NAME == QStringLiteral("Crate Warden");
            break;
        case Role::Profile:
            outcome = settings().LANG;
            fallback = settings().LANG == QStringLiteral("de");
            break;
        }
    });
    const qint64 elapsed = clock.elapsed();
    modes.reset();
    // Only the tree's own file; chmod follows links, and the other kinds link to system files.
    if (kind == Kind::Unreadable)
        ::chmod(QFile::encodeName(path).constData(), 0644);

    QVERIFY2(!rescued, "opening the file blocked until a writer came");
    QVERIFY2(elapsed < 1000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
    QVERIFY2(fallback == (kind != Kind::Valid), qPrintable(outcome));
    if (kind == Kind::Directory)
        QVERIFY(QFileInfo(path + QStringLiteral("/inside")).isFile()); // a save never takes a directory's place
}

void TestHostileFiles::fifoSwappedInAfterTheLookDoesNotBlock() {
    // Another process swaps the path between a regular file and a FIFO as fast as it can, so some reads
    // look at a file and open a FIFO. Each FIFO is also kept under a second name so a reader caught in
    // one could be freed afterwards.
    TestTree tree;
    const QString path = tree.root() + QStringLiteral("/port");
    const QString staging = tree.root() + QStringLiteral("/staging");
    QVERIFY(QDir().mkpath(staging));
    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        const QByteArray target = QFile::encodeName(path);
        for (int i = 0; !stop; ++i) {
            const QByteArray fifo = QFile::encodeName(staging + QStringLiteral("/fifo%1").arg(i));
            const QByteArray kept = QFile::encodeName(staging + QStringLiteral("/kept%1").arg(i));
            const QByteArray file = QFile::encodeName(staging + QStringLiteral("/file%1").arg(i));
            if (::mkfifo(fifo.constData(), 0644) != 0 || ::link(fifo.constData(), kept.constData()) != 0)
                break;
            ::rename(fifo.constData(), target.constData());
            const int fd = ::open(file.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t n = ::write(fd, "9000", 4);
                ::close(fd);
            }
            ::rename(file.constData(), target.constData());
            ++swaps;
        }
    });

    std::atomic<int> reads{0};
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1500) {
            [[maybe_unused]] const auto text = readUtf8File(path);
            ++reads;
        }
        readerDone = true;
    });
    const bool finished = QTest::qWaitFor([&] { return readerDone.load(); }, 5000);
    stop = true;
    swapper.join();
    if (!finished) {
        // Free the reader from whichever FIFO holds it, then report.
        for (const QString& name : QDir(staging).entryList({QStringLiteral("kept*")}, QDir::System)) {
            const int fd =
                ::open(QFile::encodeName(staging + u'/' + name).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
        }
    }
    reader.join();
    QVERIFY2(finished, "a read blocked on a FIFO swapped in after the look");
    QVERIFY2(swaps > 100 && reads > 100, qPrintable(QStringLiteral("%1 swaps, %2 reads").arg(swaps).arg(reads)));
}

void TestHostileFiles::savePosNeverReplacesADevice() {
    // A position file that links to a device: a save through the link would replace its target, so as
    // root a link to /dev/zero would turn /dev/zero into a regular file. The device here is the tree's own.
    TestTree tree;
    const QString device = tree.root() + QStringLiteral("/zero");
    if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 5)) != 0)
        QSKIP("creating a device node needs root (CAP_MKNOD)");
    const Settings& s = tree.install();
    QVERIFY(QFile::link(device, s.POS));
    AppDelegate d;
    d.build();
    QCOMPARE(d.panel->pos(), m_defaultTopLeft);
    d.panel->move(d.panel->pos() + QPoint(7, 7));
    d.savePos();
    struct stat status = {};
    QVERIFY(::stat(QFile::encodeName(device).constData(), &status) == 0);
    QVERIFY2(S_ISCHR(status.st_mode), "the save replaced the device the position file links to");
}

void TestHostileFiles::supportThatCannotBeCreated() {
    // The support directory's parent is a regular file: nothing can be created there, by root either.
    TestTree tree;
    const QString blocker = tree.write(tree.home() + QStringLiteral("/Library/Application Support"), "keep me");
    tree.install(QProcessEnvironment(), {QStringLiteral("it-IT")});
    QVERIFY(!QFileInfo::exists(settings().SUPPORT));
    QCOMPARE(enginePort(), kDefaultEnginePort);
    QCOMPARE(settings().LANG, QStringLiteral("it"));

    AppDelegate d;
    d.build();
    QCOMPARE(d.panel->pos(), m_defaultTopLeft);
    d.panel->move(d.panel->pos() - QPoint(40, 30));
    d.savePos();

    QVERIFY(QFileInfo(blocker).isFile());
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep me"));
}

void TestHostileFiles::readOnlySupportLosesNothing() {
    TestTree tree;
    const QString support = supportOf(tree);
    tree.write(support + QStringLiteral("/.overlay_pos"), "100 200");
    tree.write(support + QStringLiteral("/port"), "9000");
    tree.write(support + QStringLiteral("/profile.json"), R"({"language": "fr"})");
    const QStringList before = QDir(support).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QVERIFY(::chmod(QFile::encodeName(support).constData(), 0555) == 0);

    QPoint saved;
    {
        FileModesEnforced modes;
        const int probe = ::open(QFile::encodeName(support + QStringLiteral("/probe")).constData(),
                                 O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (probe >= 0) {
            ::close(probe);
            ::unlink(QFile::encodeName(support + QStringLiteral("/probe")).constData());
            ::chmod(QFile::encodeName(support).constData(), 0755);
            QSKIP("running as root and unable to drop the capabilities that override file modes");
        }

        tree.install(QProcessEnvironment(), {QStringLiteral("de-DE")});
        QCOMPARE(enginePort(), 9000);
        QCOMPARE(settings().LANG, QStringLiteral("fr"));
        AppDelegate d;
        d.build();
        saved = d.panel->pos();
        QVERIFY(saved != m_defaultTopLeft);
        d.panel->move(saved + QPoint(40, 30));
        d.savePos();
    }
    QVERIFY(::chmod(QFile::encodeName(support).constData(), 0755) == 0);

    // Nothing written, nothing replaced, no temporary file left behind.
    QCOMPARE(QDir(support).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    QFile file(support + QStringLiteral("/.overlay_pos"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("100 200"));

    // And the next start still finds the position it had.
    tree.install();
    AppDelegate next;
    next.build();
    QCOMPARE(next.panel->pos(), saved);
}

void TestHostileFiles::overlayRunsWithoutASupportDirectory() {
    // The real program, end to end: it starts, stays up and ends on request with status 0.
    QVERIFY2(QFileInfo(kCueview).isExecutable(), qPrintable(kCueview));
    TestTree tree;
    const QString blocker = tree.write(tree.home() + QStringLiteral("/Library/Application Support"), "keep me");
    QProcess overlay;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), tree.home());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TRK_PYTHON"), tree.root() + QStringLiteral("/no-such-python"));
    overlay.setProcessEnvironment(env);
    overlay.setWorkingDirectory(tree.appDir());
    overlay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    overlay.setStandardOutputFile(QProcess::nullDevice());
    overlay.start(kCueview, {});
    QVERIFY(overlay.waitForStarted(10000));
    QVERIFY2(!overlay.waitForFinished(2500), "the overlay ended by itself");
    overlay.terminate();
    QVERIFY(overlay.waitForFinished(10000));
    QCOMPARE(overlay.exitStatus(), QProcess::NormalExit);
    QCOMPARE(overlay.exitCode(), 0);
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep me"));
}

QTEST_MAIN(TestHostileFiles)
#include "tst_hostile_files.moc"
