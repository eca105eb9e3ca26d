// Dragging rows and the panel under a real X server: xdotool moves the real pointer, a separate X client
// receives the drops over XDND, and there is no window manager, so the panel moves itself.

#include "DragHarness.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

using namespace cw;
using namespace cw::test;

namespace {
// The drop target sits well clear of the panel in the top-right corner.
const QRect kTargetGeometry(200, 200, 600, 500);
const QPoint kTargetSpot(500, 450);
} // namespace

class TestDragX11 : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void rowDropsOneFileUrl_data();
    void rowDropsOneFileUrl();
    void undraggableRowsDoNothing_data();
    void undraggableRowsDoNothing();
    void dragKeepsItsPathWhenTheRowChanges();
    void backgroundDragMovesPanel();

private:
    QPoint panelPos() const { return m_panel->panel()->pos(); }
    DragRow* row(int i) const { return m_panel->delegate().rows.at(i); }
    // Fills a pick row (or a fresh row) with path and drags from the given part of it to the target.
    bool dragRow(DragRow* r, const QString& path, const QString& part = QStringLiteral("title"), bool fresh = false) {
        if (fresh)
            r->setFresh(QStringLiteral("Fresh"), QStringLiteral("8A · 124"), path);
        else
            r->set(1, QStringLiteral("Pick"), QStringLiteral("8A · 124"), path);
        return QTest::qWaitFor([r] { return r->isVisible(); }) && drag(r->mapToGlobal(spot(r, part)), kTargetSpot);
    }
    QString track(const QString& name) const {
        QFile file(m_files.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write("ID3") == 3 ? file.fileName() : QString();
    }
    QString url(const QString& path) const { return QUrl::fromLocalFile(path).toString(); }
    // The row took every press: the panel stayed where it was and wrote nothing.
    void verifyPanelStayed() const {
        QCOMPARE(panelPos(), m_home);
        QVERIFY(!QFile::exists(settings().POS));
    }

    QTemporaryDir m_files;
    std::unique_ptr<BuiltPanel> m_panel;
    std::unique_ptr<DropTarget> m_target;
    QPoint m_home;
};

void TestDragX11::initTestCase() {
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    m_target = std::make_unique<DropTarget>(m_files.filePath(QStringLiteral("drops.jsonl")), kTargetGeometry);
    QVERIFY(m_target->waitReady() != 0);
    m_panel = std::make_unique<BuiltPanel>();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel->panel()));
    m_home = panelPos();
    QVERIFY(!QRect(m_home, m_panel->panel()->size()).intersects(kTargetGeometry));
}

void TestDragX11::init() {
    if (panelPos() != m_home) {
        m_panel->panel()->move(m_home);
        QTRY_COMPARE_WITH_TIMEOUT(panelPos(), m_home, 5000);
    }
    QTest::qWait(50);
    QFile::remove(settings().POS);
    m_target->clearLog();
    for (DragRow* r : m_panel->delegate().rows + m_panel->delegate().freshRows)
        r->hide();
}

void TestDragX11::rowDropsOneFileUrl_data() {
    QTest::addColumn<bool>("fresh");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("part");
    QTest::newRow("first pick, title") << false << 0 << "title";
    QTest::newRow("last pick, detail line") << false << 5 << "meta";
    QTest::newRow("fresh row, left margin") << true << 1 << "margin";
}

void TestDragX11::rowDropsOneFileUrl() {
    QFETCH(bool, fresh);
    QFETCH(int, index);
    QFETCH(QString, part);
    DragRow* r = (fresh ? m_panel->delegate().freshRows : m_panel->delegate().rows).at(index);
    // Spaces and non-ASCII letters must arrive percent-encoded in a proper file URL.
    const QString path = track(QStringLiteral("Ünïcode Track %1.mp3").arg(index));
    QVERIFY(!path.isEmpty());
    QSignalSpy finished(r, &DragRow::dragFinished);
    QVERIFY(dragRow(r, path, part, fresh));

    QTRY_COMPARE_WITH_TIMEOUT(m_target->droppedUrls(), QStringList{url(path)}, 10000);
    const QJsonObject drop = m_target->events("drop").first();
    QCOMPARE(QUrl(m_target->droppedUrls().first()).toLocalFile(), path);
    for (const char* key : {"possible", "proposed", "action"})
        QCOMPARE(drop.value(key).toInt(), int(Qt::CopyAction));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QCOMPARE(finished.first().at(0).toString(), path);
    QCOMPARE(finished.first().at(1).value<Qt::DropAction>(), Qt::CopyAction);
    verifyPanelStayed();
}

void TestDragX11::undraggableRowsDoNothing_data() {
    QTest::addColumn<bool>("deleted"); // else an empty path
    QTest::addColumn<QString>("part");
    QTest::newRow("deleted file, title") << true << "title";
    QTest::newRow("empty path, rank") << false << "rank";
}

void TestDragX11::undraggableRowsDoNothing() {
    QFETCH(bool, deleted);
    QFETCH(QString, part);
    QString path;
    if (deleted) {
        path = track(QStringLiteral("gone.mp3"));
        QVERIFY(QFile::remove(path));
    }
    QSignalSpy started(row(1), &DragRow::dragStarted);
    QVERIFY(dragRow(row(1), path, part));
    QCOMPARE(started.count(), 0);
    verifyPanelStayed();

    // A good drag afterwards proves the target was listening: its events come after any the first gesture
    // could have caused, so the log holds only its own.
    const QString good = track(QStringLiteral("good.mp3"));
    QVERIFY(dragRow(row(0), good));
    QTRY_COMPARE_WITH_TIMEOUT(m_target->droppedUrls(), QStringList{url(good)}, 10000);
    QCOMPARE(m_target->events("enter").size(), 1);
    verifyPanelStayed();
}

void TestDragX11::dragKeepsItsPathWhenTheRowChanges() {
    // A drag runs its own event loop in which polls and renders go on: a render refills the row mid-drag.
    DragRow* r = row(3);
    const QString first = track(QStringLiteral("first.mp3"));
    const QString second = track(QStringLiteral("second.mp3"));
    QPointer<DragRow> alive(r);
    connect(r, &DragRow::dragStarted, this, [r, second] {
        QTimer::singleShot(100, r, [r, second] {
            QVERIFY(r->isDragging());
            r->set(4, QStringLiteral("Second"), QString(), second);
        });
    });
    QSignalSpy finished(r, &DragRow::dragFinished);
    QVERIFY(dragRow(r, first));
    QTRY_COMPARE_WITH_TIMEOUT(m_target->droppedUrls(), QStringList{url(first)}, 10000);
    disconnect(r, &DragRow::dragStarted, this, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QCOMPARE(finished.first().at(0).toString(), first);
    QVERIFY(alive);
    QCOMPARE(r->path, second);
    QCOMPARE(r->title->text(), QStringLiteral("Second"));
    QVERIFY(!r->isDragging());
}

void TestDragX11::backgroundDragMovesPanel() {
    // Left of the rows, below the header: only the panel's background is there.
    QWidget* panel = m_panel->panel();
    const QPoint from = panel->mapToGlobal(QPoint(4, 300));
    QCOMPARE(QApplication::widgetAt(from), panel->findChild<QWidget*>(QStringLiteral("content")));
    const QPoint delta(-300, 120);
    QVERIFY(drag(from, from + delta));
    QTRY_COMPARE_WITH_TIMEOUT(panelPos(), m_home + delta, 5000);
    // Bottom-left corner, y upward from the bottom of the 1080-point screen.
    QTRY_COMPARE_WITH_TIMEOUT(
        m_panel->positionFile(),
        QStringLiteral("%1 %2").arg(m_home.x() + delta.x()).arg(1080 - m_home.y() - delta.y() - 580), 5000);
    QCOMPARE(m_panel->positionFile(), m_panel->expectedPositionFile());
    QCOMPARE(m_target->events().size(), 0);
}

QTEST_MAIN(TestDragX11)
#include "tst_drag_x11.moc"
