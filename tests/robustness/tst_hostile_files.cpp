// The small files the overlay reads at start (port, window position, brand, profile), as they should be
// and in every kind of harm: each unusable one gives its fallback at once, a FIFO never blocks, a save
// never replaces what the position file is not (a directory, a link to a device). (A support directory
// that cannot be made is tst_cueview's.)

#include "config/FileText.h"
#include "controller/AppDelegate.h"
#include "support/Support.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

using namespace cw;
using namespace cw::test;

namespace {

enum class Kind { Content, Oversized, Sparse, Directory, Dangling, Loop, Fifo, Device, ReadError };

// Puts the harm at path; false when this machine cannot (a device node needs root).
bool makeHostile(Kind kind, const QString& path, const QByteArray& content, const TestTree& tree) {
    const QByteArray native = QFile::encodeName(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    switch (kind) {
    case Kind::Content:
        return !content.isNull() ? !tree.write(path, content).isEmpty() : true;
    case Kind::Oversized: // the valid value, then blanks any parser would skip: only the size is wrong
        return !tree.write(path, content + QByteArray(16 * 1024 * 1024, ' ')).isEmpty();
    case Kind::Sparse:
        tree.write(path, content);
        return ::truncate(native.constData(), qint64(8) << 30) == 0;
    case Kind::Directory:
        return !tree.write(path + QStringLiteral("/inside"), content).isEmpty();
    case Kind::Dangling:
        return QFile::link(path + QStringLiteral(".gone"), path);
    case Kind::Loop:
        return ::symlink(native.constData(), native.constData()) == 0;
    case Kind::Fifo:
        return ::mkfifo(native.constData(), 0644) == 0;
    case Kind::Device: // a device of endless zeros, the tree's own: a save through the link would replace it
        return ::mknod(QFile::encodeName(tree.root() + "/zero").constData(), S_IFCHR | 0666, makedev(1, 5)) == 0 &&
               QFile::link(tree.root() + "/zero", path);
    case Kind::ReadError: // a file that opens, and whose read fails (EIO at address 0), for root too
        return QFile::link(QStringLiteral("/proc/self/mem"), path);
    }
    return false;
}

} // namespace

class TestHostileFiles : public QObject {
    Q_OBJECT
private slots:
    void files_data() {
        QTest::addColumn<QString>("file"); // in the support directory, or brand.py in the resource directory
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("preferred"); // the system's languages
        QTest::addColumn<QString>("read");          // what start-up made of it; empty: the fallback
        const auto row = [](const char* name, const char* file, Kind kind, const QByteArray& content, const char* read,
                            const QStringList& preferred = {"de-DE"}) {
            QTest::newRow(name) << QString(file) << kind << content << preferred << QString(read);
        };
        row("port", "port", Kind::Content, " 9000\n", "9000");
        row("port 1024", "port", Kind::Content, "1024", "");
        row("port past 64 bits", "port", Kind::Content, "9223372036854775808", "");
        row("port, binary", "port", Kind::Content, QByteArray("9000\xff\xfe\x00\x80", 8), "");
        row("port, FIFO", "port", Kind::Fifo, "9000", "");
        row("port, read error", "port", Kind::ReadError, "9000", "");
        row("position", ".overlay_pos", Kind::Content, "100 200", "100,20");
        row("position, sparse 8 GiB", ".overlay_pos", Kind::Sparse, "100 200", "");
        row("position, directory", ".overlay_pos", Kind::Directory, "100 200", "");
        row("position, link to a device", ".overlay_pos", Kind::Device, "", "");
        row("brand", "brand.py", Kind::Content, "(\"BRAND_NAME\", \"Vinyl Vault\", \"BRAND_SHORT\", \"Vault\")",
            "Vault/Vinyl Vault");
        row("brand, empty values", "brand.py", Kind::Content, "BRAND_SHORT\", \"\"\nBRAND_NAME\", \"\"", "");
        row("brand, link loop", "brand.py", Kind::Loop, "", "");
        row("profile", "profile.json", Kind::Content, R"({"language" :  "es-ES"})", "es");
        row("profile, huge", "profile.json", Kind::Oversized, R"({"language": "fr"})", "");
        row("profile, dangling link", "profile.json", Kind::Dangling, "", "");
        // Without a profile the first preferred language decides, when the table speaks it.
        row("no profile, system unknown", "profile.json", Kind::Content, QByteArray(), "en", {"zh-Hans", "de-DE"});
        row("no profile, C locale", "profile.json", Kind::Content, QByteArray(), "en", {"C"});
    }
    void files() {
        QFETCH(QString, file);
        QFETCH(Kind, kind);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, preferred);
        QFETCH(QString, read);
        TestTree tree;
        const QString path = (file == "brand.py" ? tree.appDir() : tree.support()) + u'/' + file;
        if (!makeHostile(kind, path, content, tree))
            QSKIP("this machine cannot make that file (a device node needs root)");
        // Start-up, the panel placed from the file, and a move saved. (A read that blocked would hold the
        // test until the suite's time limit fails it.)
        QElapsedTimer clock;
        clock.start();
        QProcessEnvironment env;
        installSettings(computeSettings(StartupInputs{tree.appDir(), tree.home(), env, preferred}));
        AppDelegate d;
        d.build();
        const QPoint at = d.panel()->window()->pos();
        d.panel()->window()->move(at + QPoint(7, 7));
        d.savePos();
        const qint64 elapsed = clock.elapsed();

        const QMap<QString, QString> outcome{{"port", QString::number(enginePort())},
                                             {".overlay_pos", QStringLiteral("%1,%2").arg(at.x()).arg(at.y())},
                                             {"brand.py", settings().BRAND + u'/' + settings().SUPPORT_NAME},
                                             {"profile.json", settings().LANG}};
        const QMap<QString, QString> fallback{
            {"port", "8787"}, {".overlay_pos", "424,16"}, {"brand.py", "Warden/Crate Warden"}, {"profile.json", "de"}};
        QCOMPARE(outcome.value(file), read.isEmpty() ? fallback.value(file) : read);
        QVERIFY2(elapsed < 1000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
        // A save never takes the place of anything but a plain file of ours.
        if (kind == Kind::Directory)
            QVERIFY(QFileInfo(path + QStringLiteral("/inside")).isFile());
        if (kind == Kind::Device)
            QVERIFY(QFileInfo(tree.root() + "/zero").exists() && !QFileInfo(tree.root() + "/zero").isFile());
    }

    void fifoSwappedInAfterTheLookDoesNotBlock() {
        // Another thread swaps the path between a regular file and a FIFO as fast as it can, so some reads
        // look at a file and open a FIFO. Each FIFO is kept under a second name to free a reader caught in it.
        TestTree tree;
        const QString path = tree.root() + QStringLiteral("/port");
        std::atomic<bool> stop{false};
        std::atomic<int> swaps{0}, reads{0};
        std::thread swapper([&] {
            for (int i = 0; !stop; ++i) {
                const QByteArray fifo = QFile::encodeName(tree.root() + QStringLiteral("/fifo%1").arg(i));
                const QByteArray file =
                    QFile::encodeName(tree.write(tree.root() + QStringLiteral("/file%1").arg(i), "9000"));
                if (::mkfifo(fifo.constData(), 0644) != 0 || ::link(fifo.constData(), fifo + ".kept") != 0)
                    break;
                ::rename(fifo.constData(), QFile::encodeName(path).constData());
                ::rename(file.constData(), QFile::encodeName(path).constData());
                ++swaps;
            }
        });
        std::atomic<bool> done{false};
        std::thread reader([&] {
            for (QElapsedTimer clock; !clock.isValid() || clock.elapsed() < 1500; ++reads) {
                if (!clock.isValid())
                    clock.start();
                [[maybe_unused]] const auto text = readUtf8File(path);
            }
            done = true;
        });
        const bool finished = QTest::qWaitFor([&] { return done.load(); }, 5000);
        stop = true;
        swapper.join();
        for (const QString& name : QDir(tree.root()).entryList({QStringLiteral("*.kept")}, QDir::System)) {
            const int fd = ::open(QFile::encodeName(tree.root() + u'/' + name).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        }
        reader.join();
        QVERIFY2(finished, "a read blocked on a FIFO swapped in after the look");
        QVERIFY2(swaps > 100 && reads > 100, qPrintable(QStringLiteral("%1 swaps, %2 reads").arg(swaps).arg(reads)));
    }
};

QTEST_MAIN(TestHostileFiles)
#include "tst_hostile_files.moc"
