// The panel among other windows, under Xvfb with openbox on two monitors: it opens on the active window's
// monitor (else the pointer's) without taking the focus; unmanaged, it is on every desktop and in no
// taskbar, stays visible over full-screen DJ software and over a window laid on it; its background drags
// it (and saves where to); a row hands its track to another client as a file drag. xdotool drives the
// pointer; xwininfo, xprop and wmctrl look. The other clients: this program with --drop-target or --cover.

#include "controller/AppDelegate.h"
#include "support/Support.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace cw;
using namespace cw::test;

namespace {

const QRect kTarget(200, 200, 600, 500);
const QPoint kTargetSpot(500, 450);
const QString kFailed = QStringLiteral("<failed>");

// The drop target: a window accepting drops, logging each as "<proposed> <possible> <action> <urls>".
struct Target : QWidget {
    explicit Target(const QString& log) : log(log) { setAcceptDrops(true); }
    void dragEnterEvent(QDragEnterEvent* event) override { event->acceptProposedAction(); }
    void dragMoveEvent(QDragMoveEvent* event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent* event) override {
        event->acceptProposedAction();
        QFile file(log);
        if (file.open(QIODevice::Append))
            file.write(QString::asprintf("%d %d %d ", int(event->proposedAction()), int(event->possibleActions()),
                                         int(event->dropAction()))
                           .toUtf8() +
                       QUrl::toStringList(event->mimeData()->urls()).join(u' ').toUtf8() + '\n');
    }
    QString log;
};

} // namespace

class TestPanelWm : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(!run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("not found"));
        QCOMPARE(QGuiApplication::screens().size(), 2);
        // The DJ's application, focused on the left monitor before the panel appears; the pointer on the right.
        m_otherId = startClient(m_other, {"--drop-target", m_tree.root() + "/drops"});
        QTRY_COMPARE_WITH_TIMEOUT(activeWindow(), m_otherId, 10000);
        QVERIFY(xdo({"mousemove", "3000", "500"}));
        m_tree.install();
        m_d = std::make_unique<AppDelegate>();
        m_d->build();
        QVERIFY(QTest::qWaitForWindowExposed(panel()));
        QTRY_COMPARE_WITH_TIMEOUT(windowInfo(panelId(), "Map State"), QStringLiteral("IsViewable"), 5000);
        // 16 in from the top-right corner of the left 1920 × 1080 monitor, the active window's.
        m_home = panel()->pos();
        QCOMPARE(m_home, QPoint(1920 - 360 - 16, 16));
        QCOMPARE(panel()->frameGeometry().size(), QSize(360, 580));
        verifyFocusElsewhere();
    }
    void cleanupTestCase() {
        m_other.kill();
        m_other.waitForFinished(5000);
    }
    void init() {
        panel()->move(m_home);
        QTRY_COMPARE_WITH_TIMEOUT(panel()->pos(), m_home, 5000);
        QFile::remove(settings().POS);
        QFile::remove(m_tree.root() + "/drops");
        m_d->render();
    }
    void unmanaged() { // so on every desktop and in no taskbar: no window manager lists it
        QCOMPARE(windowInfo(panelId(), "Override Redirect State"), QStringLiteral("yes"));
        QVERIFY(!run("xprop", {"-root", "_NET_CLIENT_LIST"}).contains(QString::number(panelId(), 16)));
    }
    void pointerScreenWithoutActiveWindow() {
        QVERIFY(xdo({"windowminimize", "--sync", num(m_otherId), "mousemove", "3000", "500"}));
        m_d->panel()->placeInitially();
        QCOMPARE(panel()->pos(), QPoint(3840 - 360 - 16, 16));
        QVERIFY(xdo({"windowactivate", "--sync", num(m_otherId)}));
    }
    void aboveFullScreenWithoutFocus() {
        // The DJ software full screen over the panel's monitor, and clicked.
        QVERIFY(run("wmctrl", {"-i", "-r", num(m_otherId), "-b", "add,fullscreen"}) != kFailed);
        QTRY_COMPARE_WITH_TIMEOUT(windowInfo(m_otherId, "Width"), QStringLiteral("1920"), 5000);
        QVERIFY(click(QPoint(900, 900)));
        QTRY_VERIFY_WITH_TIMEOUT(showsPanelAt(background()), 5000);
        // Clicks on the panel (a quick one on its background, a row, the lock) move nothing and take no focus.
        const TintButton* lock = m_d->panel()->btnLock;
        const TextLabel* title = m_d->panel()->rows.first()->title;
        for (const QPoint& at :
             {background(), title->mapToGlobal(title->rect().center()), lock->mapToGlobal(lock->rect().center())})
            QVERIFY(click(at));
        QTRY_VERIFY_WITH_TIMEOUT(m_d->modes().locked, 5000);
        QCOMPARE(panel()->pos(), m_home);
        QVERIFY(showsPanelAt(background()));
        verifyFocusElsewhere();
        // Another client's window that no window manager stacks, laid over the panel: the panel comes back up.
        QProcess cover;
        QVERIFY(startClient(cover, {"--cover", num(background().x() - 50), num(background().y() - 50)}));
        QTRY_VERIFY_WITH_TIMEOUT(showsPanelAt(background()), 5000);
        cover.kill();
        cover.waitForFinished(5000);
        m_d->toggleLock();
        QVERIFY(run("wmctrl", {"-i", "-r", num(m_otherId), "-b", "remove,fullscreen"}) != kFailed);
        QTRY_COMPARE_WITH_TIMEOUT(windowInfo(m_otherId, "Width"), num(kTarget.width()), 5000);
    }
    void backgroundDragMovesPanel() {
        const QPoint from = background(), delta(-300, 120);
        QCOMPARE(QApplication::widgetAt(from), panel()->findChild<QWidget*>(QStringLiteral("content")));
        QVERIFY(drag(from, from + delta));
        QTRY_COMPARE_WITH_TIMEOUT(panel()->pos(), m_home + delta, 5000);
        // Its bottom-left corner, y upward from the bottom of the 1080-point screen.
        QTRY_COMPARE_WITH_TIMEOUT(
            QString::fromUtf8(readAll(settings().POS)),
            QStringLiteral("%1 %2").arg(m_home.x() + delta.x()).arg(1080 - m_home.y() - delta.y() - 580), 5000);
        QCOMPARE(activeWindow(), m_otherId);
        QVERIFY(drops().isEmpty());
    }
    void rowDrags_data() {
        QTest::addColumn<bool>("fresh");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("part");
        QTest::addColumn<QString>("file"); // "track", "none" (an empty path) or "refilled" (mid-drag)
        const auto row = [](const char* name, bool fresh, int index, const char* part, const char* file) {
            QTest::newRow(name) << fresh << index << QString(part) << QString(file);
        };
        row("fresh row, margin", true, 1, "margin", "track");
        row("no file, rank", false, 2, "rank", "none");
        row("row refilled mid-drag", false, 3, "title", "refilled");
    }
    void rowDrags() {
        // A row hands over one file URL (spaces and other letters percent-encoded) with the copy action alone,
        // or nothing without a file; it takes every press, so the panel never moves. Polls and renders go on
        // in a drag's own event loop: one that refills the row leaves the drag as it began.
        QFETCH(bool, fresh);
        QFETCH(int, index);
        QFETCH(QString, part);
        QFETCH(QString, file);
        DragRow* row = (fresh ? m_d->panel()->freshRows : m_d->panel()->rows).at(index);
        const QString path = file == "none" ? QString() : track(QStringLiteral("Ünïcode Track %1.mp3").arg(index));
        const QString other = track(QStringLiteral("other.mp3"));
        if (file == "refilled")
            connect(row, &DragRow::dragStarted, row, [row, other] {
                QTimer::singleShot(100, row, [row, other] {
                    QVERIFY(row->isDragging());
                    row->setView(
                        RowView{true, QStringLiteral("4"), std::nullopt, QStringLiteral("Other"), QString(), other});
                });
            });
        row->setView(
            RowView{true, QStringLiteral("1"), std::nullopt, QStringLiteral("Pick"), QStringLiteral("8A"), path});
        QVERIFY(QTest::qWaitFor([row] { return row->isVisible(); }));
        const QHash<QString, QPoint> at{{"margin", QPoint(4, 22)},
                                        {"rank", row->rank->geometry().center()},
                                        {"title", row->title->geometry().center()}};
        QSignalSpy finished(row, &DragRow::dragFinished);
        QVERIFY(drag(row->mapToGlobal(at.value(part)), kTargetSpot));
        disconnect(row, &DragRow::dragStarted, row, nullptr);
        if (file == "track" || file == "refilled") {
            const QString drop =
                QStringLiteral("%1 %1 %1 ").arg(int(Qt::CopyAction)) + QUrl::fromLocalFile(path).toString();
            QTRY_COMPARE_WITH_TIMEOUT(drops(), QStringList{drop}, 10000);
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
            QCOMPARE(finished.first().at(0).toString(), path);
        } else {
            QVERIFY(!QTest::qWaitFor([&] { return !drops().isEmpty() || !finished.isEmpty(); }, 1000));
        }
        if (file == "refilled")
            QVERIFY(row->path == other && row->title->text() == QStringLiteral("Other") && !row->isDragging());
        QCOMPARE(panel()->pos(), m_home);
        QVERIFY(!QFile::exists(settings().POS));
        QCOMPARE(activeWindow(), m_otherId);
    }

private:
    // Runs an X client to its end while this process keeps handling events; its output, kFailed if none.
    static QString run(const QString& program, const QStringList& args) {
        QProcess process;
        process.start(program, args);
        if (!process.waitForStarted(5000) ||
            !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000) ||
            process.exitCode() != 0) {
            process.kill();
            process.waitForFinished(5000);
            return kFailed;
        }
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }
    static bool xdo(const QStringList& args) { return run(QStringLiteral("xdotool"), args) != kFailed; }
    static QString num(qint64 n) { return QString::number(n); }
    static bool click(const QPoint& at) {
        return xdo({"mousemove", num(at.x()), num(at.y()), "sleep", "0.1", "click", "1", "sleep", "0.1"});
    }
    static quint64 activeWindow() { return run(QStringLiteral("xdotool"), {"getactivewindow"}).toULongLong(); }
    static QString windowInfo(quint64 window, const QString& field) {
        const QString info = run(QStringLiteral("xwininfo"), {"-id", num(window)});
        return QRegularExpression(field + QStringLiteral(": +(\\S+)")).match(info).captured(1);
    }
    // Whether the screen shows the panel's dark background at a point (the other clients' windows are light).
    static bool showsPanelAt(const QPoint& at) {
        return QColor(QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), 1, 1).toImage().pixel(0, 0))
                   .lightness() < 60;
    }
    // A hand's drag: press, moves 0.1 s apart easing in (so the drag starts where it was pressed), a wiggle
    // at the end (XDND follows only a pointer that really moves over the target), release.
    static bool drag(const QPoint& from, const QPoint& to) {
        QStringList args;
        const auto moveTo = [&args](const QPoint& p, const char* pause = "0.1") {
            args << "mousemove" << num(p.x()) << num(p.y()) << "sleep" << pause;
        };
        moveTo(from, "0.2");
        args += QStringList{"mousedown", "1", "sleep", "0.1"};
        for (int i = 1; i <= 10; ++i)
            moveTo(from + (to - from) * (i * i / 100.0));
        moveTo(to + QPoint(3, 2));
        moveTo(to, "0.5");
        return xdo(args + QStringList{"mouseup", "1", "sleep", "0.2"});
    }
    // Another client run from this program; its window's id once shown, 0 if none.
    static quint64 startClient(QProcess& client, const QStringList& args) {
        client.start(QCoreApplication::applicationFilePath(), args);
        return QTest::qWaitFor([&] { return client.canReadLine(); }, 15000) ? client.readLine().trimmed().toULongLong()
                                                                            : 0;
    }
    KeyPanel* panel() const { return m_d->panel()->window(); }
    quint64 panelId() const { return quint64(panel()->winId()); }
    QPoint background() const { return panel()->mapToGlobal(QPoint(4, 300)); } // left of the rows
    QString track(const QString& name) const { return m_tree.write(m_tree.root() + u'/' + name, "ID3"); }
    QStringList drops() const {
        return QString::fromUtf8(readAll(m_tree.root() + "/drops")).split(u'\n', Qt::SkipEmptyParts);
    }
    void verifyFocusElsewhere() const {
        QCOMPARE(activeWindow(), m_otherId);
        QCOMPARE(run(QStringLiteral("xdotool"), {"getwindowfocus", "-f"}).toULongLong(), m_otherId);
        QCOMPARE(QGuiApplication::focusWindow(), nullptr);
    }

    TestTree m_tree;
    QProcess m_other;
    quint64 m_otherId = 0;
    std::unique_ptr<AppDelegate> m_d;
    QPoint m_home;
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The other clients, each printing its window's id once shown: the drop target, an ordinary window; or a
    // light window that no window manager stacks, at a given point.
    const QByteArray role = argc == 3 || argc == 4 ? QByteArray(argv[1]) : QByteArray();
    if (role == "--drop-target" || role == "--cover") {
        const bool cover = role == "--cover";
        const std::unique_ptr<QWidget> window =
            cover ? std::make_unique<QWidget>(nullptr, Qt::X11BypassWindowManagerHint | Qt::FramelessWindowHint)
                  : std::make_unique<Target>(QString::fromLocal8Bit(argv[2]));
        window->setGeometry(cover ? QRect(QString(argv[2]).toInt(), QString(argv[3]).toInt(), 200, 200) : kTarget);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            return 1;
        std::printf("%llu\n", static_cast<unsigned long long>(window->winId()));
        std::fflush(stdout);
        return app.exec();
    }
    TestPanelWm test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_panel_wm.moc"
