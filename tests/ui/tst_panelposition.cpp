// The remembered panel position: the file's text and coordinates as pure rules over injected screen
// layouts, then the real panel built offscreen on two configured screens (a primary 2560 × 1440 and a
// 1280 × 1024 screen to its left), reading and writing a real position file.

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "support/TestTree.h"
#include "ui/KeyPanel.h"
#include "ui/PositionFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace cw;
using OptText = std::optional<QString>;
using OptPoint = std::optional<QPoint>;

namespace {

const QSizeF kPanel(360, 580);

// A primary screen of 2560 × 1440 whose top 25 points are a menu bar; optionally a screen to its left.
ScreenLayout single(bool withLeft = false) {
    ScreenLayout s{QRect(0, 0, 2560, 1440), QRect(0, 25, 2560, 1415), {QRect(0, 25, 2560, 1415)}, true};
    if (withLeft)
        s.available.append(QRect(-1280, 0, 1280, 1024));
    return s;
}
// Qt's global origin at the left screen: the primary starts at x 1280.
ScreenLayout primaryOnTheRight() {
    return {QRect(1280, 0, 1920, 1080),
            QRect(1280, 0, 1920, 1080),
            {QRect(0, 0, 1280, 1024), QRect(1280, 0, 1920, 1080)},
            true};
}

// 16 in from the top-right of the available area: x 2560 − 360 − 16, y 25 + 16.
const QPoint kDefault(2184, 41);

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("<missing>");
}

} // namespace

class TestPanelPosition : public QObject {
    Q_OBJECT
private slots:
    void placement_data();
    void placement();
    void format_data();
    void format();
    void builtPanelRestoresAndSavesMoves_data();
    void builtPanelRestoresAndSavesMoves();
};

void TestPanelPosition::placement_data() {
    QTest::addColumn<ScreenLayout>("screens");
    QTest::addColumn<OptText>("text");
    QTest::addColumn<OptPoint>("topLeft");
    const auto at = [](qreal x, qreal y) { return OptPoint(QPoint(qRound(x), qRound(1440 - y - 580))); };
    const struct {
        const char* name;
        ScreenLayout screens;
        OptText text;
        OptPoint topLeft;
    } rows[] = {
        {"saved on screen", single(), "1184 512", at(1184, 512)},
        {"no file", single(), std::nullopt, kDefault},
        {"trailing newline", single(), "1184 512\n", kDefault},
        {"one number", single(), "1184", kDefault},
        {"three numbers", single(), "1184 512 7", kDefault},
        {"empty file", single(), "", kDefault},
        {"tab separated", single(), "1184\t512", kDefault},
        {"extra spaces", single(), "  1184   512 ", at(1184, 512)},
        {"fractions", single(), "100.5 200.25", at(100.5, 200.25)},
        {"not a number", single(), "12a 512", kDefault},
        {"nan", single(), "nan 512", kDefault},
        {"far off screen", single(), "5000 5000", kDefault},
        // Exactly 220 points wide on screen is enough, 219 is not; likewise 120 and 119 points high, and the
        // menu bar does not count.
        {"220 wide at right edge", single(), "2340 500", at(2340, 500)},
        {"219 wide at right edge", single(), "2341 500", kDefault},
        {"120 high at bottom", single(), "500 -460", at(500, -460)},
        {"119 high at bottom", single(), "500 -461", kDefault},
        {"120 high under menu bar", single(), "500 1295", at(500, 1295)},
        {"119 high under menu bar", single(), "500 1296", kDefault},
        {"left screen, negative x", single(true), "-1200 300", at(-1200, 300)},
        {"left screen unplugged", single(), "-1200 300", kDefault},
        {"primary not at Qt's origin", primaryOnTheRight(), "-1200 300", QPoint(80, 1080 - 300 - 580)},
        {"default beside another screen", primaryOnTheRight(), std::nullopt, QPoint(1280 + 1920 - 360 - 16, 16)},
        {"no primary screen", ScreenLayout{}, "10 10", std::nullopt},
    };
    for (const auto& r : rows)
        QTest::newRow(r.name) << r.screens << r.text << r.topLeft;
}

void TestPanelPosition::placement() {
    QFETCH(ScreenLayout, screens);
    QFETCH(OptText, text);
    QFETCH(OptPoint, topLeft);
    QCOMPARE(initialTopLeft(text, kPanel, screens), topLeft);
    // Wherever it was placed, the position saved for that place brings it back there.
    if (topLeft)
        QCOMPARE(initialTopLeft(formatPosition(originOf(*topLeft, kPanel, screens.primary)), kPanel, screens), topLeft);
}

void TestPanelPosition::format_data() {
    QTest::addColumn<QPointF>("origin");
    QTest::addColumn<QString>("text");
    QTest::newRow("integers") << QPointF(1184, 512) << "1184 512";
    QTest::newRow("0.7 right of 100") << QPointF(100.7, 512) << "100 512";
    QTest::newRow("0.7 left of -100") << QPointF(-100.7, 300) << "-100 300";
    QTest::newRow("just below zero") << QPointF(-0.7, -0.2) << "0 0";
    QTest::newRow("negative y") << QPointF(12, -460.9) << "12 -460";
}

void TestPanelPosition::format() {
    QFETCH(QPointF, origin);
    QFETCH(QString, text);
    QCOMPARE(formatPosition(origin), text);
}

// The real panel, offscreen on the configured screens; unusable files and an unwritable support
// directory are the hostile-files test's.
void TestPanelPosition::builtPanelRestoresAndSavesMoves_data() {
    QTest::addColumn<QByteArray>("saved"); // null: no file
    QTest::addColumn<QPoint>("restored");
    QTest::addColumn<QPoint>("movedTo");
    QTest::addColumn<QString>("written");
    QTest::newRow("no file") << QByteArray() << QPoint(2560 - 360 - 16, 16) << QPoint(900, 40) << "900 820";
    QTest::newRow("primary") << QByteArray("1184 512") << QPoint(1184, 348) << QPoint(1200, 100) << "1200 760";
    QTest::newRow("left screen") << QByteArray("-1200 300") << QPoint(-1200, 560) << QPoint(-1100, 500) << "-1100 360";
    QTest::newRow("fractions") << QByteArray("100.5 200.25") << QPoint(101, 660) << QPoint(101, 659) << "101 201";
}

void TestPanelPosition::builtPanelRestoresAndSavesMoves() {
    QFETCH(QByteArray, saved);
    QFETCH(QPoint, restored);
    QFETCH(QPoint, movedTo);
    QFETCH(QString, written);
    QCOMPARE(QGuiApplication::screens().size(), 2);
    test::TestTree tree;
    tree.install();
    if (!saved.isNull())
        tree.write(settings().POS, saved);
    AppDelegate delegate;
    delegate.build();
    KeyPanel* panel = delegate.panel;
    QVERIFY(panel->isVisible());
    QCOMPARE(panel->size(), QSize(360, 580));
    QCOMPARE(panel->pos(), restored);
    // Showing and settling is no move: nothing may be written until the DJ moves the panel.
    QTest::qWait(200);
    QCOMPARE(readAll(settings().POS), saved.isNull() ? QStringLiteral("<missing>") : QString::fromUtf8(saved));

    QSignalSpy moved(panel, &KeyPanel::moved);
    panel->move(movedTo);
    QTRY_VERIFY_WITH_TIMEOUT(moved.count() >= 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(readAll(settings().POS), written, 5000);
    // The write is atomic: no temporary file is left beside it.
    QCOMPARE(QDir(settings().SUPPORT).entryList(QDir::Files | QDir::Hidden), QStringList{".overlay_pos"});
}

int main(int argc, char** argv) {
    // Two offscreen screens, the primary first (the offscreen platform takes the first as primary).
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("screens.json")));
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(R"({"screens": [
        {"name": "1-primary", "x": 0, "y": 0, "width": 2560, "height": 1440, "logicalDpi": 96},
        {"name": "2-left", "x": -1280, "y": 0, "width": 1280, "height": 1024, "logicalDpi": 96}]})");
    file.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + file.fileName().toUtf8());
    QApplication app(argc, argv);
    TestPanelPosition test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_panelposition.moc"
