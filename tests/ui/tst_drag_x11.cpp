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
// Where the drop target sits, well clear of the panel in the top-right corner.
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
    // Drags with xdotool from a point of a view to the drop target.
    bool dragToTarget(QWidget* view, const QPoint& local) {
        return runClient(QStringLiteral("xdotool"), dragGesture(view->mapToGlobal(local), kTargetSpot)).has_value();
    }
    QString track(const QString& name) {
        const QString path = m_files.filePath(name);
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write("ID3") == 3 ? path : QString();
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
    // Every test starts with the panel at home, no position file and an empty drop log.
    if (panelPos() != m_home) {
        m_panel->panel()->move(m_home);
        QTRY_COMPARE_WITH_TIMEOUT(panelPos(), m_home, 5000);
    }
    QTest::qWait(50);
    QFile::remove(settings().POS);
    m_target->clearLog();
    for (DragRow* row : m_panel->delegate().rows + m_panel->delegate().freshRows)
        row->hide();
}

void TestDragX11::rowDropsOneFileUrl_data() {
    QTest::addColumn<bool>("fresh");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("part");
    QTest::newRow("first pick, title") << false << 0 << "title";
    QTest::newRow("last pick, rank") << false << 5 << "rank";
    QTest::newRow("third pick, detail line") << false << 2 << "meta";
    QTest::newRow("fresh row, title") << true << 1 << "title";
    QTest::newRow("fresh row, left margin") << true << 0 << "margin";
}

void TestDragX11::rowDropsOneFileUrl() {
    QFETCH(bool, fresh);
    QFETCH(int, index);
    QFETCH(QString, part);
    DragRow* row = (fresh ? m_panel->delegate().freshRows : m_panel->delegate().rows).at(index);
    // Spaces and non-ASCII letters must arrive percent-encoded in a proper file URL.
    const QString path = track(QStringLiteral("Ünïcode Track %1.mp3").arg(index));
    QVERIFY(!path.isEmpty());
    if (fresh)
        row->setFresh(QStringLiteral("Fresh"), QStringLiteral("8A · 124"), path);
    else
        row->set(index + 1, QStringLiteral("Pick"), QStringLiteral("8A · 124"), path);
    QTRY_VERIFY(row->isVisible());

    const QPoint local = part == "title"  ? row->title->geometry().center()
                         : part == "rank" ? row->rank->geometry().center()
                         : part == "meta" ? row->meta->geometry().center()
                                          : QPoint(4, row->height() / 2);
    QSignalSpy finished(row, &DragRow::dragFinished);
    QVERIFY(dragToTarget(row, local));

    QTRY_COMPARE_WITH_TIMEOUT(m_target->events("drop").size(), 1, 10000);
    const QJsonObject drop = m_target->events("drop").first();
    QCOMPARE(urlsOf(drop), QStringList{QUrl::fromLocalFile(path).toString()});
    QCOMPARE(QUrl(urlsOf(drop).first()).toLocalFile(), path);
    QCOMPARE(drop.value("possible").toInt(), int(Qt::CopyAction));
    QCOMPARE(drop.value("proposed").toInt(), int(Qt::CopyAction));
    QCOMPARE(drop.value("action").toInt(), int(Qt::CopyAction));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QCOMPARE(finished.first().at(0).toString(), path);
    QCOMPARE(finished.first().at(1).value<Qt::DropAction>(), Qt::CopyAction);

    // The row took the press: the panel stayed where it was and wrote nothing.
    QCOMPARE(panelPos(), m_home);
    QVERIFY(!QFile::exists(settings().POS));
}

void TestDragX11::undraggableRowsDoNothing_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("part");
    QTest::newRow("deleted file, title") << "deleted"
                                         << "title";
    QTest::newRow("deleted file, detail line") << "deleted"
                                               << "meta";
    QTest::newRow("empty path, rank") << "empty"
                                      << "rank";
    QTest::newRow("empty path, title") << "empty"
                                       << "title";
}

void TestDragX11::undraggableRowsDoNothing() {
    QFETCH(QString, kind);
    QFETCH(QString, part);
    DragRow* row = m_panel->delegate().rows.at(1);
    QString path;
    if (kind == "deleted") {
        path = track(QStringLiteral("gone.mp3"));
        QVERIFY(QFile::remove(path));
    }
    row->set(2, QStringLiteral("—"), QString(), path);
    QTRY_VERIFY(row->isVisible());
    QSignalSpy started(row, &DragRow::dragStarted);
    QVERIFY(dragToTarget(row, (part == "title"  ? row->title
                               : part == "meta" ? row->meta
                                                : row->rank)
                                  ->geometry()
                                  .center()));
    QCOMPARE(started.count(), 0);
    QCOMPARE(panelPos(), m_home);

    // Nothing may have reached the target. A good drag afterwards proves the target was listening: its
    // events come after any the first gesture could have caused, so the log holds only its own.
    DragRow* good = m_panel->delegate().rows.at(0);
    const QString goodPath = track(QStringLiteral("good.mp3"));
    good->set(1, QStringLiteral("Good"), QString(), goodPath);
    QTRY_VERIFY(good->isVisible());
    QVERIFY(dragToTarget(good, good->title->geometry().center()));
    QTRY_COMPARE_WITH_TIMEOUT(m_target->events("drop").size(), 1, 10000);
    QCOMPARE(m_target->events("enter").size(), 1);
    QCOMPARE(urlsOf(m_target->events("drop").first()), QStringList{QUrl::fromLocalFile(goodPath).toString()});
    QCOMPARE(panelPos(), m_home);
    QVERIFY(!QFile::exists(settings().POS));
}

void TestDragX11::dragKeepsItsPathWhenTheRowChanges() {
    // A drag runs its own event loop in which polls and renders go on: here a render refills the row
    // while the drag is under way.
    DragRow* row = m_panel->delegate().rows.at(3);
    const QString first = track(QStringLiteral("first.mp3"));
    const QString second = track(QStringLiteral("second.mp3"));
    row->set(4, QStringLiteral("First"), QString(), first);
    QTRY_VERIFY(row->isVisible());
    QPointer<DragRow> alive(row);
    connect(row, &DragRow::dragStarted, this, [row, second] {
        QTimer::singleShot(100, row, [row, second] {
            QVERIFY(row->isDragging());
            row->set(4, QStringLiteral("Second"), QString(), second);
        });
    });
    QSignalSpy finished(row, &DragRow::dragFinished);
    QVERIFY(dragToTarget(row, row->title->geometry().center()));
    QTRY_COMPARE_WITH_TIMEOUT(m_target->events("drop").size(), 1, 10000);
    disconnect(row, &DragRow::dragStarted, this, nullptr);
    QCOMPARE(urlsOf(m_target->events("drop").first()), QStringList{QUrl::fromLocalFile(first).toString()});
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QVERIFY(alive);
    QCOMPARE(row->path, second);
    QCOMPARE(row->title->text(), QStringLiteral("Second"));
    QVERIFY(!row->isDragging());
}

void TestDragX11::backgroundDragMovesPanel() {
    // Left of the rows, below the header: only the panel's background is there.
    QWidget* panel = m_panel->panel();
    const QPoint from = panel->mapToGlobal(QPoint(4, 300));
    QCOMPARE(QApplication::widgetAt(from), panel->findChild<QWidget*>(QStringLiteral("content")));
    const QPoint delta(-300, 120);
    QVERIFY(runClient(QStringLiteral("xdotool"), dragGesture(from, from + delta)));
    QTRY_COMPARE_WITH_TIMEOUT(panelPos(), m_home + delta, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_panel->positionFile(), m_panel->expectedPositionFile(), 5000);
    // Bottom-left corner, y upward from the bottom of the 1080-point screen.
    QCOMPARE(m_panel->positionFile(),
             QStringLiteral("%1 %2").arg(m_home.x() + delta.x()).arg(1080 - (m_home.y() + delta.y()) - 580));
    QCOMPARE(m_target->events().size(), 0);
}

QTEST_MAIN(TestDragX11)
#include "tst_drag_x11.moc"
