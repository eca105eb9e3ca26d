// The panel as a window among others, under Xvfb with openbox: it comes up without taking the focus from
// the application that has it, keeps it there through clicks, stays above a normal window, is on every
// desktop with no taskbar or pager entry (also after hide and show), and is moved by the window manager
// when its background is dragged, but never from a row. xdotool, xprop and xwininfo observe from outside.

#include "DragHarness.h"

#include "ui/PlatformWindow.h"
#include "ui/TintButton.h"

#include <QRegularExpression>
#include <QTemporaryDir>

using namespace cw;
using namespace cw::test;

namespace {

const QRect kOtherGeometry(100, 100, 600, 500);

QString tool(const QString& program, const QStringList& args) {
    return runClient(program, args).value_or("<failed>");
}
QString xdoOut(const QStringList& args) {
    return tool(QStringLiteral("xdotool"), args);
}
QString num(qint64 n) {
    return QString::number(n);
}
QString prop(quint64 window, const QString& name) {
    return tool(QStringLiteral("xprop"), {"-id", num(window), name}).trimmed();
}
quint64 activeWindow() {
    return xdoOut({"getactivewindow"}).toULongLong();
}
quint64 focusWindow() {
    return xdoOut({"getwindowfocus", "-f"}).toULongLong();
}
QString mapState(quint64 window) {
    static const QRegularExpression state(QStringLiteral("Map State: (\\w+)"));
    return state.match(tool(QStringLiteral("xwininfo"), {"-id", num(window)})).captured(1);
}
// The window manager's frame around a client window: its ancestor just below the root.
quint64 frameOf(quint64 window) {
    static const QRegularExpression parent(QStringLiteral("Parent window id: (0x[0-9a-f]+)( \\(the root window\\))?"));
    for (int depth = 0; depth < 10; ++depth) {
        const QRegularExpressionMatch m = parent.match(tool(QStringLiteral("xwininfo"), {"-id", num(window), "-tree"}));
        if (!m.hasMatch() || !m.captured(2).isEmpty())
            return window;
        window = m.captured(1).toULongLong(nullptr, 16);
    }
    return 0;
}
const QString kAllDesktops = QStringLiteral("_NET_WM_DESKTOP(CARDINAL) = 4294967295");

} // namespace

class TestPanelWindowWm : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void shownWithoutTakingFocus();
    void clicksLeaveFocusAlone_data();
    void clicksLeaveFocusAlone();
    void staysAboveNormalWindow();
    void onEveryDesktopWithoutTaskbarEntry();
    void hintsSurviveHideAndShow();
    void hintsRequestedWhileMapped();
    void backgroundDragMovesPanel();
    void rowDragNeverMovesPanel_data();
    void rowDragNeverMovesPanel();

private:
    KeyPanel* panel() const { return m_panel->panel(); }
    quint64 panelId() const { return quint64(panel()->winId()); }
    void verifyFocusElsewhere() const {
        QCOMPARE(activeWindow(), m_otherId);
        QCOMPARE(focusWindow(), m_otherId);
        QCOMPARE(QGuiApplication::focusWindow(), nullptr);
    }
    void verifyFloatingHints();

    QTemporaryDir m_files;
    std::unique_ptr<DropTarget> m_other;
    quint64 m_otherId = 0;
    std::unique_ptr<BuiltPanel> m_panel;
};

void TestPanelWindowWm::initTestCase() {
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QVERIFY(!tool(QStringLiteral("xprop"), {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("not found"));
    // The DJ's application: an ordinary window of another client, focused before the panel appears.
    m_other = std::make_unique<DropTarget>(m_files.filePath(QStringLiteral("drops.jsonl")), kOtherGeometry);
    m_otherId = m_other->waitReady();
    QVERIFY(m_otherId != 0);
    QTRY_COMPARE_WITH_TIMEOUT(activeWindow(), m_otherId, 10000);

    m_panel = std::make_unique<BuiltPanel>();
    QVERIFY(QTest::qWaitForWindowExposed(panel()));
    QTRY_COMPARE_WITH_TIMEOUT(mapState(panelId()), QStringLiteral("IsViewable"), 5000);
    // The window manager honoured the placement: 16 in from the top-right of the 1920 × 1080 screen.
    QCOMPARE(panel()->pos(), QPoint(1920 - 360 - 16, 16));
    QCOMPARE(panel()->frameGeometry().size(), QSize(360, 580));
}

void TestPanelWindowWm::shownWithoutTakingFocus() {
    verifyFocusElsewhere();
    QVERIFY(!panel()->isActiveWindow());
}

void TestPanelWindowWm::clicksLeaveFocusAlone_data() {
    QTest::addColumn<QString>("first");
    QTest::newRow("background, then lock button") << "background";
    QTest::newRow("row, then lock button") << "row";
}

void TestPanelWindowWm::clicksLeaveFocusAlone() {
    QFETCH(QString, first);
    const auto click = [](const QPoint& at) {
        return xdo({"mousemove", num(at.x()), num(at.y()), "sleep", "0.1", "click", "1", "sleep", "0.1"});
    };
    DragRow* row = m_panel->delegate().rows.first();
    row->set(1, QStringLiteral("Row"), QString(), QString());
    QTRY_VERIFY(row->isVisible());
    QVERIFY(click(first == "row" ? row->mapToGlobal(spot(row, "title")) : panel()->mapToGlobal(QPoint(4, 300))));
    // The lock button's action shows the click went through; clicks are handled in order.
    const bool locked = m_panel->delegate().locked;
    TintButton* lock = m_panel->delegate().btnLock;
    QVERIFY(click(lock->mapToGlobal(lock->rect().center())));
    QTRY_COMPARE_WITH_TIMEOUT(m_panel->delegate().locked, !locked, 5000);
    verifyFocusElsewhere();
    row->hide();
}

void TestPanelWindowWm::staysAboveNormalWindow() {
    // Put the other window over the panel's place and bring it to the front the way a click would.
    const QPoint overlap = panel()->mapToGlobal(QPoint(100, 300));
    QVERIFY(xdo({"windowmove", "--sync", num(m_otherId), num(overlap.x() - 300), num(overlap.y() - 200),
                 "windowactivate", "--sync", num(m_otherId), "windowraise", num(m_otherId)}));
    QTRY_COMPARE_WITH_TIMEOUT(activeWindow(), m_otherId, 5000);
    // What the X server itself has under the pointer where the two overlap.
    static const QRegularExpression window(QStringLiteral("^WINDOW=(\\d+)$"), QRegularExpression::MultilineOption);
    const auto underPointer = [&] {
        return window.match(xdoOut({"mousemove", num(overlap.x()), num(overlap.y()), "getmouselocation", "--shell"}))
            .captured(1)
            .toULongLong();
    };
    QTRY_COMPARE_WITH_TIMEOUT(underPointer(), frameOf(panelId()), 5000);
    QVERIFY(frameOf(panelId()) != frameOf(m_otherId));
    QVERIFY(xdo({"windowmove", "--sync", num(m_otherId), num(kOtherGeometry.x()), num(kOtherGeometry.y())}));
}

void TestPanelWindowWm::verifyFloatingHints() {
    QCOMPARE(prop(panelId(), "_NET_WM_DESKTOP"), kAllDesktops);
    const QString state = prop(panelId(), "_NET_WM_STATE");
    for (const char* atom : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"})
        QVERIFY2(state.contains(QLatin1String(atom)), qPrintable(state));

    // And the window manager acts on it: on another desktop the ordinary window goes, the panel stays.
    QVERIFY(xdo({"set_num_desktops", "2"}));
    QTRY_COMPARE_WITH_TIMEOUT(xdoOut({"get_num_desktops"}), QStringLiteral("2"), 5000);
    for (const char* desktop : {"1", "0"}) {
        QVERIFY(xdo({"set_desktop", desktop}));
        QTRY_COMPARE_WITH_TIMEOUT(xdoOut({"get_desktop"}), QString(desktop), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(mapState(m_otherId) == QStringLiteral("IsViewable"), *desktop == '0', 5000);
        QCOMPARE(mapState(panelId()), QStringLiteral("IsViewable"));
    }
    QVERIFY(xdo({"windowactivate", "--sync", num(m_otherId)}));
}

void TestPanelWindowWm::onEveryDesktopWithoutTaskbarEntry() {
    verifyFloatingHints();
}

void TestPanelWindowWm::hintsSurviveHideAndShow() {
    // The window manager forgets the hints when the window is withdrawn; the panel repeats them.
    for (int round = 0; round < 2; ++round) {
        panel()->hide();
        QTRY_COMPARE_WITH_TIMEOUT(mapState(panelId()), QStringLiteral("IsUnMapped"), 5000);
        panel()->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel()));
        QTRY_COMPARE_WITH_TIMEOUT(mapState(panelId()), QStringLiteral("IsViewable"), 5000);
        verifyFloatingHints();
        QCOMPARE(activeWindow(), m_otherId);
    }
}

void TestPanelWindowWm::hintsRequestedWhileMapped() {
    // A show the window manager reports finds the window mapped: the hints must go to it as requests.
    // Pinned to one desktop by someone else, then asked again while on screen: back on all of them.
    QVERIFY(xdo({"set_desktop_for_window", num(panelId()), "0"}));
    QTRY_COMPARE_WITH_TIMEOUT(prop(panelId(), "_NET_WM_DESKTOP"), QStringLiteral("_NET_WM_DESKTOP(CARDINAL) = 0"),
                              5000);
    applyFloatingPanelHints(panel());
    QTRY_COMPARE_WITH_TIMEOUT(prop(panelId(), "_NET_WM_DESKTOP"), kAllDesktops, 5000);
    verifyFloatingHints();
}

void TestPanelWindowWm::backgroundDragMovesPanel() {
    QFile::remove(settings().POS);
    const QPoint start = panel()->pos();
    const QPoint from = panel()->mapToGlobal(QPoint(4, 300));
    const QPoint delta(-300, 120);
    QVERIFY(drag(from, from + delta));
    QTRY_COMPARE_WITH_TIMEOUT(panel()->pos(), start + delta, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_panel->positionFile(), m_panel->expectedPositionFile(), 5000);
    QCOMPARE(activeWindow(), m_otherId);
}

void TestPanelWindowWm::rowDragNeverMovesPanel_data() {
    QTest::addColumn<QString>("part");
    QTest::newRow("title") << "title";
    QTest::newRow("row margin") << "margin";
}

void TestPanelWindowWm::rowDragNeverMovesPanel() {
    QFETCH(QString, part);
    // A row without a track: its press starts nothing, and must not fall through to the window manager.
    DragRow* row = m_panel->delegate().rows.at(2);
    row->set(3, QStringLiteral("No file"), QStringLiteral("—"), QString());
    QTRY_VERIFY(row->isVisible());
    QFile::remove(settings().POS);
    const QPoint start = panel()->pos();
    const QPoint from = row->mapToGlobal(spot(row, part));
    QVERIFY(drag(from, from + QPoint(-250, 150)));
    // A move would have followed the pointer within the gesture; check once more after a round trip.
    QCOMPARE(activeWindow(), m_otherId);
    QCOMPARE(panel()->pos(), start);
    QVERIFY(!QFile::exists(settings().POS));
    row->hide();
}

QTEST_MAIN(TestPanelWindowWm)
#include "tst_panelwindow_wm.moc"
