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

#include <memory>
#include <optional>

using namespace cw;

namespace {

const QSizeF kPanel(360, 580);

// A primary screen of 2560 × 1440 whose top 25 points are taken by a menu bar.
ScreenLayout single() {
    ScreenLayout s;
    s.hasPrimary = true;
    s.primary = QRect(0, 0, 2560, 1440);
    s.primaryAvailable = QRect(0, 25, 2560, 1415);
    s.available = {s.primaryAvailable};
    return s;
}

// The same with a second screen to its left.
ScreenLayout withLeft() {
    ScreenLayout s = single();
    s.available.append(QRect(-1280, 0, 1280, 1024));
    return s;
}

// Qt's global origin at the left screen: the primary starts at x 1280.
ScreenLayout primaryOnTheRight() {
    ScreenLayout s;
    s.hasPrimary = true;
    s.primary = QRect(1280, 0, 1920, 1080);
    s.primaryAvailable = s.primary;
    s.available = {QRect(0, 0, 1280, 1024), s.primary};
    return s;
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
    void noPrimaryScreenLeavesThePanel();
    void format_data();
    void format();
    void savedPositionsComeBack_data();
    void savedPositionsComeBack();

    void builtPanelUsesDefaultAndWritesNothing();
    void builtPanelRestoresAndSavesMoves_data();
    void builtPanelRestoresAndSavesMoves();
    void unusableFilesGiveDefault_data();
    void unusableFilesGiveDefault();
    void unwritableFileIsIgnored();
};

void TestPanelPosition::placement_data() {
    QTest::addColumn<ScreenLayout>("screens");
    QTest::addColumn<std::optional<QString>>("text");
    QTest::addColumn<QPoint>("topLeft");

    const auto at = [](qreal x, qreal y) { return QPoint(qRound(x), qRound(1440 - y - 580)); };
    QTest::newRow("saved on screen") << single() << std::optional<QString>("1184 512") << at(1184, 512);
    QTest::newRow("no file") << single() << std::optional<QString>() << kDefault;
    QTest::newRow("trailing newline") << single() << std::optional<QString>("1184 512\n") << kDefault;
    QTest::newRow("one number") << single() << std::optional<QString>("1184") << kDefault;
    QTest::newRow("three numbers") << single() << std::optional<QString>("1184 512 7") << kDefault;
    QTest::newRow("empty file") << single() << std::optional<QString>("") << kDefault;
    QTest::newRow("tab separated") << single() << std::optional<QString>("1184\t512") << kDefault;
    QTest::newRow("extra spaces") << single() << std::optional<QString>("  1184   512 ") << at(1184, 512);
    QTest::newRow("fractions") << single() << std::optional<QString>("100.5 200.25") << at(100.5, 200.25);
    QTest::newRow("signs and exponent") << single() << std::optional<QString>("+1.2e3 -0") << at(1200, 0);
    QTest::newRow("not a number") << single() << std::optional<QString>("12a 512") << kDefault;
    QTest::newRow("nan") << single() << std::optional<QString>("nan 512") << kDefault;
    QTest::newRow("infinite") << single() << std::optional<QString>("1184 1e999") << kDefault;
    QTest::newRow("hex") << single() << std::optional<QString>("0x10 512") << kDefault;
    QTest::newRow("non-ASCII digits") << single() << std::optional<QString>("١١٨٤ 512") << kDefault;
    QTest::newRow("far off screen") << single() << std::optional<QString>("5000 5000") << kDefault;
    // Exactly 220 points wide on screen is enough, 219 is not; likewise 120 and 119 points high.
    QTest::newRow("220 wide at right edge") << single() << std::optional<QString>("2340 500") << at(2340, 500);
    QTest::newRow("219 wide at right edge") << single() << std::optional<QString>("2341 500") << kDefault;
    QTest::newRow("120 high at bottom") << single() << std::optional<QString>("500 -460") << at(500, -460);
    QTest::newRow("119 high at bottom") << single() << std::optional<QString>("500 -461") << kDefault;
    // The menu bar is no place to keep it: 120 points must lie below it.
    QTest::newRow("120 high under menu bar") << single() << std::optional<QString>("500 1295") << at(500, 1295);
    QTest::newRow("119 high under menu bar") << single() << std::optional<QString>("500 1296") << kDefault;
    QTest::newRow("left screen, negative x") << withLeft() << std::optional<QString>("-1200 300") << at(-1200, 300);
    QTest::newRow("left screen unplugged") << single() << std::optional<QString>("-1200 300") << kDefault;
    QTest::newRow("primary not at Qt's origin")
        << primaryOnTheRight() << std::optional<QString>("-1200 300") << QPoint(80, 1080 - 300 - 580);
    QTest::newRow("default beside another screen")
        << primaryOnTheRight() << std::optional<QString>() << QPoint(1280 + 1920 - 360 - 16, 16);
}

void TestPanelPosition::placement() {
    QFETCH(ScreenLayout, screens);
    QFETCH(std::optional<QString>, text);
    QFETCH(QPoint, topLeft);
    const std::optional<QPoint> placed = initialTopLeft(text, kPanel, screens);
    QVERIFY(placed);
    QCOMPARE(*placed, topLeft);
}

void TestPanelPosition::noPrimaryScreenLeavesThePanel() {
    ScreenLayout none;
    QVERIFY(!initialTopLeft(QStringLiteral("10 10"), kPanel, none));
    QVERIFY(!initialTopLeft(std::nullopt, kPanel, none));
    // The parsed values themselves are kept exactly, fractions included.
    QCOMPARE(parsePosition(QStringLiteral("100.5 200.25")), std::optional<QPointF>(QPointF(100.5, 200.25)));
}

void TestPanelPosition::format_data() {
    QTest::addColumn<QPointF>("origin");
    QTest::addColumn<QString>("text");
    QTest::newRow("integers") << QPointF(1184, 512) << QStringLiteral("1184 512");
    QTest::newRow("0.7 right of 100") << QPointF(100.7, 512) << QStringLiteral("100 512");
    QTest::newRow("0.7 left of -100") << QPointF(-100.7, 300) << QStringLiteral("-100 300");
    QTest::newRow("just below zero") << QPointF(-0.7, -0.2) << QStringLiteral("0 0");
    QTest::newRow("negative y") << QPointF(12, -460.9) << QStringLiteral("12 -460");
}

void TestPanelPosition::format() {
    QFETCH(QPointF, origin);
    QFETCH(QString, text);
    QCOMPARE(formatPosition(origin), text);
}

void TestPanelPosition::savedPositionsComeBack_data() {
    QTest::addColumn<ScreenLayout>("screens");
    QTest::addColumn<QPoint>("topLeft");
    QTest::newRow("primary") << single() << QPoint(700, 300);
    QTest::newRow("left screen") << withLeft() << QPoint(-1250, 400);
    QTest::newRow("shifted primary") << primaryOnTheRight() << QPoint(100, 50);
}

void TestPanelPosition::savedPositionsComeBack() {
    QFETCH(ScreenLayout, screens);
    QFETCH(QPoint, topLeft);
    const QString text = formatPosition(originOf(topLeft, kPanel, screens.primary));
    QCOMPARE(initialTopLeft(text, kPanel, screens), std::optional<QPoint>(topLeft));
}

// --- the real panel, offscreen on the configured screens ---

namespace {

struct Built {
    test::TestTree tree;
    std::unique_ptr<AppDelegate> delegate;

    explicit Built(const std::optional<QByteArray>& posFile = std::nullopt) {
        tree.install();
        if (posFile)
            tree.write(settings().POS, *posFile);
        delegate = std::make_unique<AppDelegate>();
        delegate->build();
    }
    KeyPanel* panel() const { return delegate->panel; }
};

} // namespace

void TestPanelPosition::builtPanelUsesDefaultAndWritesNothing() {
    QCOMPARE(QGuiApplication::screens().size(), 2);
    QCOMPARE(QGuiApplication::primaryScreen()->geometry(), QRect(0, 0, 2560, 1440));
    Built built;
    QVERIFY(built.panel()->isVisible());
    QCOMPARE(built.panel()->size(), QSize(360, 580));
    QCOMPARE(built.panel()->pos(), QPoint(2560 - 360 - 16, 16));
    // Showing and settling is no move: nothing may be written until the DJ moves the panel.
    QTest::qWait(200);
    QVERIFY(!QFile::exists(settings().POS));
}

void TestPanelPosition::builtPanelRestoresAndSavesMoves_data() {
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<QPoint>("restored");
    QTest::addColumn<QPoint>("movedTo");
    QTest::addColumn<QString>("written");
    QTest::newRow("primary") << QByteArray("1184 512") << QPoint(1184, 348) << QPoint(1200, 100)
                             << QStringLiteral("1200 760");
    QTest::newRow("left screen") << QByteArray("-1200 300") << QPoint(-1200, 560) << QPoint(-1100, 500)
                                 << QStringLiteral("-1100 360");
    QTest::newRow("fractions") << QByteArray("100.5 200.25") << QPoint(101, 660) << QPoint(101, 659)
                               << QStringLiteral("101 201");
}

void TestPanelPosition::builtPanelRestoresAndSavesMoves() {
    QFETCH(QByteArray, saved);
    QFETCH(QPoint, restored);
    QFETCH(QPoint, movedTo);
    QFETCH(QString, written);
    Built built(saved);
    QCOMPARE(built.panel()->pos(), restored);
    QTest::qWait(100);
    QCOMPARE(readAll(settings().POS), QString::fromUtf8(saved));

    QSignalSpy moved(built.panel(), &KeyPanel::moved);
    built.panel()->move(movedTo);
    QTRY_VERIFY_WITH_TIMEOUT(moved.count() >= 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(readAll(settings().POS), written, 5000);
    // The write is atomic: no temporary file is left beside it.
    QCOMPARE(QDir(settings().SUPPORT).entryList(QDir::Files | QDir::Hidden), QStringList{".overlay_pos"});
}

void TestPanelPosition::unusableFilesGiveDefault_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("directory");
    QTest::newRow("binary") << QByteArray("\xff\xfe\x00\x01 12", 7) << false;
    QTest::newRow("huge") << QByteArray(200 * 1024, ' ') + "100 100" << false;
    QTest::newRow("directory") << QByteArray() << true;
}

void TestPanelPosition::unusableFilesGiveDefault() {
    QFETCH(QByteArray, content);
    QFETCH(bool, directory);
    test::TestTree tree;
    tree.install();
    if (directory)
        QVERIFY(QDir().mkpath(settings().POS));
    else
        tree.write(settings().POS, content);
    AppDelegate delegate;
    delegate.build();
    QCOMPARE(delegate.panel->pos(), QPoint(2560 - 360 - 16, 16));
}

void TestPanelPosition::unwritableFileIsIgnored() {
    // The position file's place is taken by a directory: the move goes on, nothing is written.
    test::TestTree tree;
    tree.install();
    QVERIFY(QDir().mkpath(settings().POS));
    AppDelegate delegate;
    delegate.build();
    QSignalSpy moved(delegate.panel, &KeyPanel::moved);
    delegate.panel->move(500, 500);
    QTRY_VERIFY_WITH_TIMEOUT(moved.count() >= 1, 5000);
    QVERIFY(QFileInfo(settings().POS).isDir());
    QCOMPARE(delegate.panel->pos(), QPoint(500, 500));
}

int main(int argc, char** argv) {
    // Two offscreen screens: the primary first, a smaller one to its left. (The offscreen platform takes
    // the first screen by name as the primary one.)
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("screens.json"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(R"({"screens": [
        {"name": "1-primary", "x": 0, "y": 0, "width": 2560, "height": 1440, "logicalDpi": 96},
        {"name": "2-left", "x": -1280, "y": 0, "width": 1280, "height": 1024, "logicalDpi": 96}]})");
    file.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.toUtf8());
    QApplication app(argc, argv);
    TestPanelPosition test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_panelposition.moc"
