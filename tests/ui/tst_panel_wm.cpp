// The panel as a window among others, under Xvfb with openbox: it comes up without taking the focus from
// the application that has it, keeps it there through clicks, is above other windows and on every
// desktop with no taskbar or pager entry (also after hide and show), moves when its background is
// dragged (and saves where to), and hands a row's track over as a file drag to another X client, never
// moving itself. xdotool drives the real pointer; xprop and xwininfo look from outside. The other
// client, standing in for the DJ software, is this program run with --drop-target.

#include "controller/AppDelegate.h"
#include "support/Support.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"
#include "ui/PlatformWindow.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>

using namespace cw;
using namespace cw::test;

namespace {

const QRect kTarget(200, 200, 600, 500);
const QPoint kTargetSpot(500, 450);

// The drop target: one window accepting drops, logging each as "<proposed> <possible> <action> <urls>".
class Target : public QWidget {
public:
    explicit Target(const QString& log) : m_log(log) { setAcceptDrops(true); }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override { event->acceptProposedAction(); }
    void dragMoveEvent(QDragMoveEvent* event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent* event) override {
        event->acceptProposedAction();
        QFile file(m_log);
        if (file.open(QIODevice::Append))
            file.write(QStringLiteral("%1 %2 %3 %4\n")
                           .arg(int(event->proposedAction()))
                           .arg(int(event->possibleActions()))
                           .arg(int(event->dropAction()))
                           .arg(QUrl::toStringList(event->mimeData()->urls()).join(u' '))
                           .toUtf8());
    }

private:
    QString m_log;
};

// Runs an X client to its end while this process keeps handling events; its output, "<failed>" if none.
QString run(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted(5000) ||
        !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000) || process.exitCode() != 0) {
        process.kill();
        process.waitForFinished(5000);
        return QStringLiteral("<failed>");
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}
bool xdo(const QStringList& args) {
    return run(QStringLiteral("xdotool"), args) != QStringLiteral("<failed>");
}
QString num(qint64 n) {
    return QString::number(n);
}
quint64 activeWindow() {
    return run(QStringLiteral("xdotool"), {"getactivewindow"}).toULongLong();
}
QString prop(quint64 window, const QString& name) {
    return run(QStringLiteral("xprop"), {"-id", num(window), name});
}
QString mapState(quint64 window) {
    static const QRegularExpression state(QStringLiteral("Map State: (\\w+)"));
    return state.match(run(QStringLiteral("xwininfo"), {"-id", num(window)})).captured(1);
}
// A hand's drag: press, moves 0.1 s apart easing in (so the drag starts where it was pressed), a wiggle
// at the end (XDND follows only a pointer that really moves over the target), release.
bool drag(const QPoint& from, const QPoint& to) {
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

} // namespace

class TestPanelWm : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() {
        m_other.kill();
        m_other.waitForFinished(5000);
    }
    void init();
    void clicksLeaveFocusAlone_data();
    void clicksLeaveFocusAlone();
    void onEveryDesktopWithoutTaskbarEntry();
    void backgroundDragMovesPanel();
    void rowDrags_data();
    void rowDrags();
    void dragKeepsItsPathWhenTheRowChanges();

private:
    KeyPanel* panel() const { return m_d->panel()->window(); }
    quint64 panelId() const { return quint64(panel()->winId()); }
    QString track(const QString& name) const { return m_tree.write(m_tree.root() + u'/' + name, "ID3"); }
    QString positionFile() const { return QString::fromUtf8(readAll(settings().POS)); }
    void verifyFocusElsewhere() const {
        QCOMPARE(activeWindow(), m_otherId);
        QCOMPARE(run(QStringLiteral("xdotool"), {"getwindowfocus", "-f"}).toULongLong(), m_otherId);
        QCOMPARE(QGuiApplication::focusWindow(), nullptr);
    }
    // Fills a row and drags from the given part of it (the centre of a label, or its margin) to the target.
    bool dragRow(DragRow* row, const QString& path, const QString& part = QStringLiteral("title")) {
        row->setView(
            RowView{true, QStringLiteral("1"), std::nullopt, QStringLiteral("Pick"), QStringLiteral("8A"), path});
        const QPoint at = part == "margin" ? QPoint(4, 22)
                                           : (part == "rank"   ? row->rank
                                              : part == "meta" ? row->meta
                                                               : row->title)
                                                 ->geometry()
                                                 .center();
        return QTest::qWaitFor([row] { return row->isVisible(); }) && drag(row->mapToGlobal(at), kTargetSpot);
    }
    QStringList drops() const {
        return QString::fromUtf8(readAll(m_tree.root() + "/drops")).split(u'\n', Qt::SkipEmptyParts);
    }

    TestTree m_tree;
    QProcess m_other;
    quint64 m_otherId = 0;
    std::unique_ptr<AppDelegate> m_d;
    QPoint m_home;
};

void TestPanelWm::initTestCase() {
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QVERIFY(!run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("not found"));
    // The DJ's application: an ordinary window of another client, focused before the panel appears.
    m_other.start(QCoreApplication::applicationFilePath(), {"--drop-target", m_tree.root() + "/drops"});
    QVERIFY(QTest::qWaitFor([&] { return m_other.canReadLine(); }, 15000));
    m_otherId = m_other.readLine().trimmed().toULongLong();
    QTRY_COMPARE_WITH_TIMEOUT(activeWindow(), m_otherId, 10000);

    m_tree.install();
    m_d = std::make_unique<AppDelegate>();
    m_d->build();
    QVERIFY(QTest::qWaitForWindowExposed(panel()));
    QTRY_COMPARE_WITH_TIMEOUT(mapState(panelId()), QStringLiteral("IsViewable"), 5000);
    // The window manager honoured the placement: 16 in from the top-right of the 1920 × 1080 screen.
    m_home = panel()->pos();
    QCOMPARE(m_home, QPoint(1920 - 360 - 16, 16));
    QCOMPARE(panel()->frameGeometry().size(), QSize(360, 580));
    verifyFocusElsewhere();
}

void TestPanelWm::init() {
    panel()->move(m_home);
    QTRY_COMPARE_WITH_TIMEOUT(panel()->pos(), m_home, 5000);
    QFile::remove(settings().POS);
    QFile::remove(m_tree.root() + "/drops");
    m_d->render();
}

void TestPanelWm::clicksLeaveFocusAlone_data() {
    QTest::addColumn<bool>("onRow"); // else on the background
    QTest::newRow("background, then lock button") << false;
    QTest::newRow("row, then lock button") << true;
}

void TestPanelWm::clicksLeaveFocusAlone() {
    // A quick click on the background once left the window manager moving the panel with the button up.
    QFETCH(bool, onRow);
    const auto click = [](const QPoint& at) {
        return xdo({"mousemove", num(at.x()), num(at.y()), "sleep", "0.1", "click", "1", "sleep", "0.1"});
    };
    DragRow* row = m_d->panel()->rows.first();
    QVERIFY(click(onRow ? row->mapToGlobal(row->title->geometry().center()) : panel()->mapToGlobal(QPoint(4, 300))));
    const bool locked = m_d->modes().locked;
    TintButton* lock = m_d->panel()->btnLock;
    QVERIFY(click(lock->mapToGlobal(lock->rect().center())));
    QTRY_COMPARE_WITH_TIMEOUT(m_d->modes().locked, !locked, 5000);
    QVERIFY(xdo({"mousemove", "1000", "800", "sleep", "0.3"}));
    QCOMPARE(panel()->pos(), m_home);
    verifyFocusElsewhere();
}

void TestPanelWm::onEveryDesktopWithoutTaskbarEntry() {
    const QString all = QStringLiteral("_NET_WM_DESKTOP(CARDINAL) = 4294967295");
    // As shown; after a hide and show (window managers forget the hints of a withdrawn window); and after
    // someone pinned it to one desktop while it is mapped, when the hints go as requests.
    for (const char* phase : {"shown", "hidden and shown again", "pinned while mapped"}) {
        if (phase[0] == 'h') {
            panel()->hide();
            QTRY_COMPARE_WITH_TIMEOUT(mapState(panelId()), QStringLiteral("IsUnMapped"), 5000);
            panel()->show();
            QTRY_COMPARE_WITH_TIMEOUT(mapState(panelId()), QStringLiteral("IsViewable"), 5000);
        } else if (phase[0] == 'p') {
            QVERIFY(xdo({"set_desktop_for_window", num(panelId()), "0"}));
            QTRY_COMPARE_WITH_TIMEOUT(prop(panelId(), "_NET_WM_DESKTOP"),
                                      QStringLiteral("_NET_WM_DESKTOP(CARDINAL) = 0"), 5000);
            applyFloatingPanelHints(panel());
        }
        QTRY_COMPARE_WITH_TIMEOUT(prop(panelId(), "_NET_WM_DESKTOP"), all, 5000);
        const QString state = prop(panelId(), "_NET_WM_STATE");
        for (const char* atom : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"})
            QVERIFY2(state.contains(QLatin1String(atom)), phase);
        // And the window manager acts on it: on another desktop the ordinary window goes, the panel stays.
        QVERIFY(xdo({"set_num_desktops", "2"}));
        for (const char* desktop : {"1", "0"}) {
            QVERIFY(xdo({"set_desktop", desktop}));
            QTRY_COMPARE_WITH_TIMEOUT(mapState(m_otherId) == QStringLiteral("IsViewable"), *desktop == '0', 5000);
            QCOMPARE(mapState(panelId()), QStringLiteral("IsViewable"));
        }
        QVERIFY(xdo({"windowactivate", "--sync", num(m_otherId)}));
        QCOMPARE(activeWindow(), m_otherId);
    }
}

void TestPanelWm::backgroundDragMovesPanel() {
    const QPoint from = panel()->mapToGlobal(QPoint(4, 300)); // left of the rows: only the background
    QCOMPARE(QApplication::widgetAt(from), panel()->findChild<QWidget*>(QStringLiteral("content")));
    const QPoint delta(-300, 120);
    QVERIFY(drag(from, from + delta));
    QTRY_COMPARE_WITH_TIMEOUT(panel()->pos(), m_home + delta, 5000);
    // Its bottom-left corner, y upward from the bottom of the 1080-point screen.
    QTRY_COMPARE_WITH_TIMEOUT(
        positionFile(), QStringLiteral("%1 %2").arg(m_home.x() + delta.x()).arg(1080 - m_home.y() - delta.y() - 580),
        5000);
    QCOMPARE(activeWindow(), m_otherId);
    QVERIFY(drops().isEmpty());
}

void TestPanelWm::rowDrags_data() {
    QTest::addColumn<bool>("fresh");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("part");
    QTest::addColumn<QString>("file"); // "track", "deleted" or "none" (an empty path)
    QTest::newRow("first pick, title") << false << 0 << "title"
                                       << "track";
    QTest::newRow("fresh row, margin") << true << 1 << "margin"
                                       << "track";
    QTest::newRow("deleted file") << false << 1 << "title"
                                  << "deleted";
    QTest::newRow("no file, rank") << false << 2 << "rank"
                                   << "none";
}

void TestPanelWm::rowDrags() {
    // A row hands over one file URL (spaces and other letters percent-encoded) with the copy action alone,
    // or nothing when its file is gone; it takes every press, so the panel never moves.
    QFETCH(bool, fresh);
    QFETCH(int, index);
    QFETCH(QString, part);
    QFETCH(QString, file);
    DragRow* row = (fresh ? m_d->panel()->freshRows : m_d->panel()->rows).at(index);
    QString path = file == "none" ? QString() : track(QStringLiteral("Ünïcode Track %1.mp3").arg(index));
    if (file == "deleted")
        QVERIFY(QFile::remove(path));
    QSignalSpy finished(row, &DragRow::dragFinished);
    QVERIFY(dragRow(row, path, part));
    const QString copy = num(int(Qt::CopyAction));
    const QStringList expected{copy + ' ' + copy + ' ' + copy + ' ' + QUrl::fromLocalFile(path).toString()};
    if (file == "track") {
        QTRY_COMPARE_WITH_TIMEOUT(drops(), expected, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
        QCOMPARE(finished.first().at(0).toString(), path);
    } else {
        QVERIFY(!QTest::qWaitFor([&] { return !drops().isEmpty() || !finished.isEmpty(); }, 1000));
    }
    QCOMPARE(panel()->pos(), m_home);
    QVERIFY(!QFile::exists(settings().POS));
    QCOMPARE(activeWindow(), m_otherId);
}

void TestPanelWm::dragKeepsItsPathWhenTheRowChanges() {
    // A drag runs its own event loop in which polls and renders go on: a render refills the row mid-drag.
    DragRow* row = m_d->panel()->rows.at(3);
    const QString first = track(QStringLiteral("first.mp3")), second = track(QStringLiteral("second.mp3"));
    connect(row, &DragRow::dragStarted, this, [row, second] {
        QTimer::singleShot(100, row, [row, second] {
            QVERIFY(row->isDragging());
            row->setView(RowView{true, QStringLiteral("4"), std::nullopt, QStringLiteral("Second"), QString(), second});
        });
    });
    QSignalSpy finished(row, &DragRow::dragFinished);
    QVERIFY(dragRow(row, first));
    QTRY_VERIFY_WITH_TIMEOUT(drops().value(0).endsWith(QUrl::fromLocalFile(first).toString()), 10000);
    disconnect(row, &DragRow::dragStarted, this, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QCOMPARE(finished.first().at(0).toString(), first);
    QVERIFY(row->path == second && row->title->text() == QStringLiteral("Second") && !row->isDragging());
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--drop-target") {
        Target target(QString::fromLocal8Bit(argv[2]));
        target.setGeometry(kTarget);
        target.show();
        if (!QTest::qWaitForWindowExposed(&target))
            return 1;
        std::printf("%llu\n", static_cast<unsigned long long>(target.winId()));
        std::fflush(stdout);
        return app.exec();
    }
    TestPanelWm test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_panel_wm.moc"
