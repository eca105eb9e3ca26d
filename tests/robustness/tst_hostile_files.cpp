// Hostile files and texts. The small files read at start (port, window position, brand, profile), sound
// and in every kind of harm: each unusable one gives its fallback at once, a FIFO never blocks (not even
// one swapped in after the check), a save never replaces what the position file is not. A track path
// offers a drag only for a track file; feed texts cannot reorder or split what the panel shows.

#include "config/FileText.h"
#include "controller/AppDelegate.h"
#include "support/Support.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QScopeGuard>
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

enum class Kind { Content, Oversized, Directory, Link, Dangling, Loop, Fifo, Device, ReadError };

// Puts the harm at path; false when this machine cannot (a device node needs root).
bool makeHostile(Kind kind, const QString& path, const QByteArray& content, const TestTree& tree) {
    const QByteArray native = QFile::encodeName(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    switch (kind) {
    case Kind::Content:
        return !content.isNull() ? !tree.write(path, content).isEmpty() : true;
    case Kind::Oversized: // the valid value, then blanks any parser would skip: only the size is wrong
        return !tree.write(path, content + QByteArray(16 * 1024 * 1024, ' ')).isEmpty();
    case Kind::Directory:
        return !tree.write(path + QStringLiteral("/inside"), content).isEmpty();
    case Kind::Link: // to the content
        return !tree.write(path + QStringLiteral(".target"), content).isEmpty() && QFile::link(path + ".target", path);
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
        QTest::addColumn<QString>("read"); // what start-up made of it; empty: the fallback
        const auto row = [](const char* name, const char* file, Kind kind, const QByteArray& content,
                            const char* read) {
            QTest::newRow(name) << QString(file) << kind << content << QString(read);
        };
        row("port", "port", Kind::Content, " 9000\n", "9000");
        row("port, binary", "port", Kind::Content, QByteArray("9000\xff\xfe\x00\x80", 8), "");
        row("port, FIFO", "port", Kind::Fifo, "9000", "");
        row("port, read error", "port", Kind::ReadError, "9000", "");
        row("position", ".overlay_pos", Kind::Content, "100 200", "100,20");
        row("position, directory", ".overlay_pos", Kind::Directory, "100 200", "");
        row("position, link to a device", ".overlay_pos", Kind::Device, "", "");
        row("brand", "brand.py", Kind::Content, "(\"BRAND_NAME\", \"Vinyl Vault\", \"BRAND_SHORT\", \"Vault\")",
            "Vault/Vinyl Vault");
        row("brand, link loop", "brand.py", Kind::Loop, "", "");
        row("profile", "profile.json", Kind::Content, R"({"language" :  "es-ES"})", "es");
        row("profile, huge", "profile.json", Kind::Oversized, R"({"language": "fr"})", "");
        row("profile, dangling link", "profile.json", Kind::Dangling, "", "");
    }
    void files() {
        QFETCH(QString, file);
        QFETCH(Kind, kind);
        QFETCH(QByteArray, content);
        QFETCH(QString, read);
        TestTree tree;
        const QString path = (file == "brand.py" ? tree.appDir() : tree.support()) + u'/' + file;
        if (!makeHostile(kind, path, content, tree))
            QSKIP("this machine cannot make that file (a device node needs root)");
        // Start-up, the panel placed from the file, and a move saved. (A read that blocked would hold the
        // test until the suite's time limit fails it.)
        QElapsedTimer clock;
        clock.start();
        installSettings(computeSettings(StartupInputs{tree.appDir(), tree.home(), QProcessEnvironment(), {"de-DE"}}));
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
    void fifoSwappedInAfterTheCheck() {
        // Another thread swaps the file for a FIFO and back as fast as it can, so some reads check a file
        // and open the FIFO (one inode, kept under its own name to free a reader caught in it).
        TestTree tree;
        const QString path = tree.root() + QStringLiteral("/port");
        const QByteArray fifo = QFile::encodeName(path + ".fifo"), staged = fifo + ".staged";
        QCOMPARE(::mkfifo(fifo.constData(), 0644), 0);
        std::atomic<bool> stop = false, done = false; // the reader's
        std::atomic<int> swaps = 0;
        std::thread swapper([&] {
            for (const QByteArray file = QFile::encodeName(path); !stop; ++swaps) {
                ::link(fifo.constData(), staged.constData());
                ::rename(staged.constData(), file.constData());
                ::rename(QFile::encodeName(tree.write(path + ".new", "9000")).constData(), file.constData());
            }
        });
        std::thread reader([&] {
            while (swaps < 1000 && !stop)
                [[maybe_unused]] const auto text = readUtf8File(path);
            done = true;
        });
        const bool finished = QTest::qWaitFor([&] { return done.load(); }, 10000);
        for (stop = true; !done;) // a writer's open frees the reader
            if (const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK); fd >= 0)
                ::close(fd);
        swapper.join();
        reader.join();
        QVERIFY2(finished, "a read waited on a FIFO swapped in after the check");
    }
    void dragsOnlyTrackFiles_data() {
        QTest::addColumn<Kind>("kind");    // what lies at the track's path
        QTest::addColumn<QString>("path"); // empty: that absolute path; else as it stands, from the tree
        QTest::addColumn<bool>("draggable");
        QTest::newRow("a track") << Kind::Content << "" << true;
        QTest::newRow("a link to a track") << Kind::Link << "" << true;
        QTest::newRow("relative") << Kind::Content << "track" << false;
        QTest::newRow("a FIFO") << Kind::Fifo << "" << false;
        QTest::newRow("a link to a device") << Kind::Device << "" << false;
    }
    void dragsOnlyTrackFiles() {
        QFETCH(Kind, kind);
        QFETCH(QString, path);
        QFETCH(bool, draggable);
        TestTree tree;
        tree.install();
        const QString track = tree.root() + QStringLiteral("/track");
        if (!makeHostile(kind, track, "ID3", tree))
            QSKIP("this machine cannot make that file (a device node needs root)");
        const auto back = qScopeGuard([cwd = QDir::currentPath()] { QDir::setCurrent(cwd); });
        QVERIFY(QDir::setCurrent(tree.root()));
        DragRow row(QRectF(0, 0, 360, 44));
        row.setView(RowView{true, "1", std::nullopt, "Title", "8A", path.isEmpty() ? track : path});
        QCOMPARE(row.canDrag(), draggable);
    }
    void spoofingTextsShowPlainly() {
        // Bidirectional controls would reorder the rest of their line (128 BPM showed as "821"), a line
        // separator would break it; a path is a file's name and stays exactly as sent.
        TestTree tree;
        tree.install();
        AppDelegate d;
        d.apply(QJsonDocument::fromJson(
                    R"({"ok": true, "now": {"title": "Two\u2028lines", "key": "8A\u200f\u202e", "bpm": 128},
            "cats": [{"id": "a", "label": "\u2067Peak\u2069"}],
            "next": [{"title": "\u202b\u05e9\u05d9\u05e8\u202c", "key": "\u200e\u202d9B\u061c", "bpm": 128, "src": "\u2066Web\u2069",
                      "cat": "a", "path": "/m/\u202etrack.mp3"}],
            "fresh": [{"title": "F\u2029G", "reason": "\u202aWhy\u202c", "cat": "a"}]})")
                    .object());
        d.cycleMoment();
        const PanelView& v = d.view();
        const QString sep = QStringLiteral("  ·  "); // the first two fields of a detail line, and the last
        QCOMPARE((QStringList{v.nowTitle, v.nowMeta.left(12), v.momentTitle, v.rows[0].title,
                              v.rows[0].detail.section(sep, 0, 1) + sep + v.rows[0].detail.section(sep, -1),
                              v.rows[0].path, v.freshRows[0].title, v.freshRows[0].detail.section(sep, -1)}),
                 (QStringList{"Two lines", "8A · 128 BPM", "🎚 Peak", "שיר", "9B  ·  128  ·  Web",
                              "/m/\u202etrack.mp3", "F G", "Why"}));
    }
};

QTEST_MAIN(TestHostileFiles)
#include "tst_hostile_files.moc"
