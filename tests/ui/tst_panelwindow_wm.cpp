// The panel as a window among others, under Xvfb with openbox: it comes up without taking the focus
// from the application that has it, keeps it there through clicks, stays above a normal window, is on
// every desktop with no taskbar or pager entry (also after hide and show), and is moved by the window
// manager when its background is dragged, but never from a row. xdotool, xprop and xwininfo are the
// outside observers.

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
QString hex(quint64 id) {
    return QStringLiteral("0x%1").arg(id, 0, 16);
}
QString prop(quint64 id, const QString& name) {
    return tool(QStringLiteral("xprop"), {"-id", hex(id), name});
}
quint64 activeWindow() {
    return tool(QStringLiteral("xdotool"), {"getactivewindow"}).toULongLong();
}
quint64 focusWindow() {
    return tool(QStringLiteral("xdotool"), {"getwindowfocus", "-f"}).toULongLong();
}
QString mapState(quint64 id) {
    static const QRegularExpression state(QStringLiteral("Map State: (\\w+)"));
    return state.match(tool(QStringLiteral("xwininfo"), {"-id", hex(id)})).captured(1);
}
// The window manager's frame around a client window: its ancestor just below the root.
quint64 frameOf(quint64 id) {
    static const QRegularExpression parent(QStringLiteral("Parent window id: (0x[0-9a-f]+)( \\(the root window\\))?"));
    for (int depth = 0; depth < 10; ++depth) {
        const QRegularExpressionMatch m = parent.match(tool(QStringLiteral("xwininfo"), {"-id", hex(id), "-tree"}));
        if (!m.hasMatch() || !m.captured(2).isEmpty())
            return id;
        id = m.captured(1).toULongLong(nullptr, 16);
    }
    return 0;
}

// Client windows from the bottom of the stack to the top, as the window manager keeps them.
QList<quint64> stacking() {
    QList<quint64> ids;
    const QString text = tool(QStringLiteral("xprop"), {"-root", "_NET_CLIENT_LIST_STACKING"});
    static const QRegularExpression id(QStringLiteral("0x[0-9a-f]+"));
    for (auto it = id.globalMatch(text); it.hasNext();)
        ids.append(it.next().captured().toULongLong(nullptr, 16));
    return ids;
}

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
    QCOMPARE(activeWindow(), m_otherId);
    QCOMPARE(focusWindow(), m_otherId);
    QVERIFY(!panel()->isActiveWindow());
    QCOMPARE(QGuiApplication::focusWindow(), nullptr);
}

void TestPanelWindowWm::clicksLeaveFocusAlone_data() {
    QTest::addColumn<QString>("first");
    QTest::newRow("lock button") << QString();
    QTest::newRow("background, then lock button") << "background";
    QTest::newRow("row, then lock button") << "row";
}

void TestPanelWindowWm::clicksLeaveFocusAlone() {
    QFETCH(QString, first);
    const auto click = [](const QPoint& at) {
        return runClient(QStringLiteral("xdotool"), {"mousemove", QString::number(at.x()), QString::number(at.y()),
                                                     "sleep", "0.1", "click", "1", "sleep", "0.1"})
            .has_value();
    };
    DragRow* row = m_panel->delegate().rows.first();
    row->set(1, QStringLiteral("Row"), QString(), QString());
    QTRY_VERIFY(row->isVisible());
    if (first == "background")
        QVERIFY(click(panel()->mapToGlobal(QPoint(4, 300))));
    else if (first == "row")
        QVERIFY(click(row->mapToGlobal(row->title->geometry().center())));
    // The lock button's action shows the click went through; clicks are handled in order.
    const bool locked = m_panel->delegate().locked;
    TintButton* lock = m_panel->delegate().btnLock;
    QVERIFY(click(lock->mapToGlobal(lock->rect().center())));
    QTRY_COMPARE_WITH_TIMEOUT(m_panel->delegate().locked, !locked, 5000);
    QCOMPARE(activeWindow(), m_otherId);
    QCOMPARE(focusWindow(), m_otherId);
    QCOMPARE(QGuiApplication::focusWindow(), nullptr);
    row->hide();
}

void TestPanelWindowWm::staysAboveNormalWindow() {
    // Put the other window over the panel's place and bring it to the front the way a click would.
    const QPoint overlap = panel()->mapToGlobal(QPoint(100, 300));
    QVERIFY(runClient(QStringLiteral("xdotool"),
                      {"windowmove", "--sync", QString::number(m_otherId), QString::number(overlap.x() - 300),
                       QString::number(overlap.y() - 200), "windowactivate", "--sync", QString::number(m_otherId),
                       "windowraise", QString::number(m_otherId)}));
    QTRY_COMPARE_WITH_TIMEOUT(activeWindow(), m_otherId, 5000);
    const QList<quint64> order = stacking();
    QVERIFY(order.contains(m_otherId));
    QVERIFY2(order.indexOf(panelId()) > order.indexOf(m_otherId), qPrintable(prop(panelId(), "_NET_WM_STATE")));
    // What the X server itself has under the pointer where the two overlap.
    const QString location =
        tool(QStringLiteral("xdotool"),
             {"mousemove", QString::number(overlap.x()), QString::number(overlap.y()), "getmouselocation", "--shell"});
    static const QRegularExpression window(QStringLiteral("^WINDOW=(\\d+)$"), QRegularExpression::MultilineOption);
    QCOMPARE(window.match(location).captured(1).toULongLong(), frameOf(panelId()));
    QVERIFY(frameOf(panelId()) != frameOf(m_otherId));
    QVERIFY(runClient(QStringLiteral("xdotool"),
                      {"windowmove", "--sync", QString::number(m_otherId), QString::number(kOtherGeometry.x()),
                       QString::number(kOtherGeometry.y())}));
}

void TestPanelWindowWm::verifyFloatingHints() {
    QCOMPARE(prop(panelId(), "_NET_WM_DESKTOP").trimmed(), QStringLiteral("_NET_WM_DESKTOP(CARDINAL) = 4294967295"));
    const QString state = prop(panelId(), "_NET_WM_STATE");
    for (const char* atom : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"})
        QVERIFY2(state.contains(QLatin1String(atom)), qPrintable(state));

    // And the window manager acts on it: on another desktop the ordinary window goes, the panel stays.
    QVERIFY(runClient(QStringLiteral("xdotool"), {"set_num_desktops", "2"}));
    QTRY_COMPARE_WITH_TIMEOUT(tool(QStringLiteral("xdotool"), {"get_num_desktops"}), QStringLiteral("2"), 5000);
    QVERIFY(runClient(QStringLiteral("xdotool"), {"set_desktop", "1"}));
    QTRY_COMPARE_WITH_TIMEOUT(tool(QStringLiteral("xdotool"), {"get_desktop"}), QStringLiteral("1"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(mapState(m_otherId) != QStringLiteral("IsViewable"), 5000);
    QCOMPARE(mapState(panelId()), QStringLiteral("IsViewable"));
    QVERIFY(runClient(QStringLiteral("xdotool"), {"set_desktop", "0"}));
    QTRY_COMPARE_WITH_TIMEOUT(mapState(m_otherId), QStringLiteral("IsViewable"), 5000);
    QCOMPARE(mapState(panelId()), QStringLiteral("IsViewable"));
    QVERIFY(runClient(QStringLiteral("xdotool"), {"windowactivate", "--sync", QString::number(m_otherId)}));
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
    // Someone pins the panel to one desktop; asked again while it is on screen, the window manager
    // puts it back on all of them.
    QVERIFY(runClient(QStringLiteral("xdotool"), {"set_desktop_for_window", QString::number(panelId()), "0"}));
    QTRY_COMPARE_WITH_TIMEOUT(prop(panelId(), "_NET_WM_DESKTOP").trimmed(),
                              QStringLiteral("_NET_WM_DESKTOP(CARDINAL) = 0"), 5000);
    applyFloatingPanelHints(panel());
    QTRY_COMPARE_WITH_TIMEOUT(prop(panelId(), "_NET_WM_DESKTOP").trimmed(),
                              QStringLiteral("_NET_WM_DESKTOP(CARDINAL) = 4294967295"), 5000);
    verifyFloatingHints();
}

void TestPanelWindowWm::backgroundDragMovesPanel() {
    QFile::remove(settings().POS);
    const QPoint start = panel()->pos();
    const QPoint from = panel()->mapToGlobal(QPoint(4, 300));
    const QPoint delta(-300, 120);
    QVERIFY(runClient(QStringLiteral("xdotool"), dragGesture(from, from + delta)));
    QTRY_COMPARE_WITH_TIMEOUT(panel()->pos(), start + delta, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_panel->positionFile(), m_panel->expectedPositionFile(), 5000);
    QCOMPARE(activeWindow(), m_otherId);
}

void TestPanelWindowWm::rowDragNeverMovesPanel_data() {
    QTest::addColumn<QString>("part");
    QTest::newRow("title") << "title";
    QTest::newRow("rank") << "rank";
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
    const QPoint local = part == "title"  ? row->title->geometry().center()
                         : part == "rank" ? row->rank->geometry().center()
                                          : QPoint(4, row->height() / 2);
    const QPoint from = row->mapToGlobal(local);
    QVERIFY(runClient(QStringLiteral("xdotool"), dragGesture(from, from + QPoint(-250, 150))));
    // A move would have followed the pointer within the gesture; check once more after a round trip.
    QCOMPARE(tool(QStringLiteral("xdotool"), {"getactivewindow"}).toULongLong(), m_otherId);
    QCOMPARE(panel()->pos(), start);
    QVERIFY(!QFile::exists(settings().POS));
    row->hide();
}

QTEST_MAIN(TestPanelWindowWm)
#include "tst_panelwindow_wm.moc"
