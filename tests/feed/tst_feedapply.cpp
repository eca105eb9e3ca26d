// Applying feed documents to the controller: the rut meter, the now-playing card, the track change and
// its page reset, the moments, the lists and the waiting state.

#include "FeedHarness.h"

#include "feed/Labels.h"

#include <limits>

using namespace cw;
using namespace cw::test;

namespace {
QColor paletteColour(const QString& name) {
    const Settings& s = settings();
    if (name == "GREEN")
        return s.GREEN;
    if (name == "GOLD")
        return s.GOLD;
    return QColor::fromRgbF(0.66f, 0.66f, 0.66f, 1.0f);
}
} // namespace

class FeedApplyTest : public QObject {
    Q_OBJECT
private slots:
    void rut_data();
    void rut();
    void rutWithoutPercentage();
    void missingRutKeepsColour();
    void waitingState();
    void pageFollowsTrack();
    void nowPlaying_data();
    void nowPlaying();
    void moments_data();
    void moments();
    void mistypedLists();
};

void FeedApplyTest::rut_data() {
    QTest::addColumn<double>("r");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("colour");
    QTest::newRow("0.25") << 0.25 << "some repeats · 25%"
                          << "grey";
    QTest::newRow("0.45") << 0.45 << "same as usual · 45%"
                          << "GOLD";
    QTest::newRow("0.2499") << 0.2499 << "fresh set · 24%"
                            << "GREEN";
    QTest::newRow("0.29") << 0.29 << "some repeats · 28%"
                          << "grey";
    QTest::newRow("0.57") << 0.57 << "same as usual · 56%"
                          << "GOLD";
    QTest::newRow("1.5") << 1.5 << "same as usual · 150%"
                         << "GOLD";
    QTest::newRow("-0.1") << -0.1 << "fresh set · -10%"
                          << "GREEN";
    QTest::newRow("integer 1") << 1.0 << "same as usual · 100%"
                               << "GOLD";
    QTest::newRow("beyond 64 bits") << 1e17 << "same as usual"
                                    << "GOLD";
    QTest::newRow("beyond 64 bits, negative") << -1e300 << "fresh set"
                                              << "GREEN";
}

void FeedApplyTest::rut() {
    QFETCH(double, r);
    QFETCH(QString, text);
    QFETCH(QString, colour);
    Panel p;
    // Through the JSON text, as the engine sends it.
    p->apply(parseJson(QByteArray(R"({"ok":true,"rut":)") + QByteArray::number(r, 'g', 17) + '}'));
    QCOMPARE(p->rutLab->text(), text);
    QCOMPARE(p->rutLab->textColor(), paletteColour(colour));
}

void FeedApplyTest::rutWithoutPercentage() {
    test::TestTree tree;
    tree.install();
    const double inf = std::numeric_limits<double>::infinity();
    QCOMPARE(rutLabel("en", inf)->text, QStringLiteral("same as usual"));
    QCOMPARE(rutLabel("en", -inf)->text, QStringLiteral("fresh set"));
    QVERIFY(!rutLabel("en", std::numeric_limits<double>::quiet_NaN()));
    // Largest percentage that still fits, and the first that does not.
    QVERIFY(rutLabel("en", 0x1p62 / 100 * 1.5)->text.endsWith(u'%'));
    QCOMPARE(rutLabel("en", 0x1p63 / 100)->text, QStringLiteral("same as usual"));
    QCOMPARE(rutLabel("en", -0x1p63 / 100)->text, QStringLiteral("fresh set · -9223372036854775808%"));
}

void FeedApplyTest::missingRutKeepsColour() {
    Panel p;
    p->apply(parseJson(R"({"ok":true,"rut":0.5})"));
    QCOMPARE(p->rutLab->textColor(), settings().GOLD);
    p->apply(parseJson(R"({"ok":true,"rut":"0.1"})"));
    QCOMPARE(p->rutLab->text(), QString());
    QCOMPARE(p->rutLab->textColor(), settings().GOLD);
}

void FeedApplyTest::waitingState() {
    Panel p;
    const QJsonObject cats = parseJson(R"({"cats":[{"id":"a","label":"A"}]})");
    QJsonObject doc = playing("/a", {{"next", numberedPicks(9)}, {"fresh", numberedPicks(2)}, {"cats", cats["cats"]}});
    p->apply(doc);
    p->variation();
    p->cycleMoment();
    p->locked = true;
    QCOMPARE(p->btnMoment->tint(), settings().GREEN);

    for (const QByteArray& waiting :
         {QByteArray(R"({"ok":false,"rut":0.1,"next":[{"title":"x"}]})"), QByteArray(R"({"ok":"true","rut":0.1})")}) {
        p->apply(parseJson(waiting));
        QCOMPARE(p->nowTitle->text(), QStringLiteral("⏳ Waiting for Serato…"));
        QCOMPARE(p->nowMeta->text(), QStringLiteral("Play a track — picks appear"));
        QCOMPARE(p->rutLab->text(), QStringLiteral("fresh set · 10%"));
        QCOMPARE(p->rutLab->textColor(), settings().GREEN);
        QVERIFY(p->fullNext.isEmpty() && p->fullFresh.isEmpty() && p->fullBangers.isEmpty());
        for (DragRow* row : p->rows + p->freshRows) {
            QVERIFY(row->isHidden());
            QVERIFY(!row->isHighlighted());
        }
        // Nothing rendered: header and buttons as the last render left them, the modes untouched.
        QCOMPARE(p->nxLab->text(), QStringLiteral("⏭ PLAY NEXT · drag to deck"));
        QCOMPARE(p->btnMoment->tint(), settings().GREEN);
        QCOMPARE(p->curPath, QStringLiteral("/a"));
        QCOMPARE(p->page, 0);
        QCOMPARE(p->moment, 1);
        QCOMPARE(p->cats.size(), 1);
    }
}

void FeedApplyTest::pageFollowsTrack() {
    Panel p;
    const QJsonObject lists{{"next", numberedPicks(13)}};
    p->apply(playing("/a", lists));
    p->variation();
    p->apply(playing("/a", lists));
    QCOMPARE(p->page, 1);
    QCOMPARE(p.visibleRanks(), ranksFrom(7, 12));

    p->apply(playing("/b", lists));
    QCOMPARE(p->page, 0);
    QCOMPARE(p->curPath, QStringLiteral("/b"));
    QCOMPARE(p.visibleRanks(), ranksFrom(1, 6));

    p->variation();
    QJsonObject pathless = lists;
    pathless.insert("ok", true);
    pathless.insert("now", QJsonObject{{"title", "No path"}, {"path", 12}});
    p->apply(pathless);
    QCOMPARE(p->page, 0);
    QCOMPARE(p->curPath, QString());
}

void FeedApplyTest::nowPlaying_data() {
    QTest::addColumn<QByteArray>("doc");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("meta");
    QTest::newRow("only ok") << QByteArray(R"({"ok":true})") << "—"
                             << "— · 0 BPM · 0 played tonight";
    QTest::newRow("full") << QByteArray(
                                 R"({"ok":true,"played":17,"now":{"title":"Halcyon Drift","key":"8A","bpm":124}})")
                          << "Halcyon Drift"
                          << "8A · 124 BPM · 17 played tonight";
    QTest::newRow("empty key") << QByteArray(R"({"ok":true,"played":3,"now":{"key":"","bpm":98}})") << "—"
                               << "— · 98 BPM · 3 played tonight";
    QTest::newRow("fractional bpm") << QByteArray(R"({"ok":true,"now":{"title":"X","key":"1B","bpm":127.5}})") << "X"
                                    << "1B · 0 BPM · 0 played tonight";
    QTest::newRow("played in now is ignored")
        << QByteArray(R"({"ok":true,"played":-2,"now":{"played":9,"bpm":-5}})") << "—"
        << "— · -5 BPM · -2 played tonight";
    QTest::newRow("now not an object") << QByteArray(R"({"ok":true,"now":["title"],"played":"4"})") << "—"
                                       << "— · 0 BPM · 0 played tonight";
}

void FeedApplyTest::nowPlaying() {
    QFETCH(QByteArray, doc);
    QFETCH(QString, title);
    QFETCH(QString, meta);
    Panel p;
    p->apply(parseJson(doc));
    QCOMPARE(p->nowTitle->text(), title);
    QCOMPARE(p->nowMeta->text(), meta);
    // With no picks the single "—" row shows.
    QCOMPARE(p.visibleTitles(), QStringList{"—"});
}

void FeedApplyTest::moments_data() {
    QTest::addColumn<QByteArray>("cats");
    QTest::addColumn<qint64>("moment");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<bool>("buttonHidden");
    QTest::addColumn<QString>("buttonTitle");
    const QByteArray three = R"("cats":[{"id":"a","label":"A"},{"id":"b","label":"B"},{"id":"c","label":"C"}])";
    QTest::newRow("three stays") << three << qint64(3) << QStringList{"a", "b", "c"} << false << "🎚 C";
    QTest::newRow("two resets") << QByteArray(R"("cats":[{"id":"x","label":"X"},{"id":"y","label":"Y"}])") << qint64(0)
                                << QStringList{"x", "y"} << false << "🎚 All";
    QTest::newRow("empty hides") << QByteArray(R"("cats":[])") << qint64(0) << QStringList{} << true << "🎚 All";
    QTest::newRow("absent keeps") << QByteArray(R"("other":1)") << qint64(3) << QStringList{"a", "b", "c"} << false
                                  << "🎚 C";
    QTest::newRow("string element keeps") << QByteArray(R"("cats":[{"id":"x","label":"X"},"y"])") << qint64(3)
                                          << QStringList{"a", "b", "c"} << false << "🎚 C";
    QTest::newRow("incomplete entries dropped")
        << QByteArray(R"("cats":[{"id":"x"},{"id":"y","label":"Y"},{"label":"Z"},{"id":"w","label":7},)"
                      R"({"id":"v","label":"V","extra":1}])")
        << qint64(0) << QStringList{"y", "v"} << false << "🎚 All";
}

void FeedApplyTest::moments() {
    QFETCH(QByteArray, cats);
    QFETCH(qint64, moment);
    QFETCH(QStringList, ids);
    QFETCH(bool, buttonHidden);
    QFETCH(QString, buttonTitle);
    Panel p;
    p->apply(parseJson(R"({"ok":true,"cats":[{"id":"a","label":"A"},{"id":"b","label":"B"},{"id":"c","label":"C"}]})"));
    p->moment = 3;
    p->apply(parseJson("{\"ok\":true," + cats + '}'));
    QCOMPARE(p->moment, moment);
    QStringList got;
    for (const Moment& m : p->cats)
        got << m.id;
    QCOMPARE(got, ids);
    QCOMPARE(p->btnMoment->isHidden(), buttonHidden);
    QCOMPARE(p->btnMoment->text(), buttonTitle);
}

void FeedApplyTest::mistypedLists() {
    Panel p;
    p->apply(feedFixture("realistic.json"));
    QVERIFY(!p->fullNext.isEmpty());
    QJsonObject doc = playing("/a");
    doc.insert("next", QJsonArray{QJsonObject{{"title", "A"}}, "stray", QJsonObject{{"title", "B"}}});
    doc.insert("fresh", QJsonObject{{"title", "F"}});
    doc.insert("bangers", QJsonArray{QJsonObject{{"title", "B1"}}, QJsonValue::Null});
    p->apply(doc);
    QVERIFY(p->fullNext.isEmpty() && p->fullFresh.isEmpty() && p->fullBangers.isEmpty());
    QCOMPARE(p.visibleTitles(), QStringList{"—"});
    QVERIFY(p.fresh(0)->isHidden() && p.fresh(1)->isHidden());
}

QTEST_MAIN(FeedApplyTest)
#include "tst_feedapply.moc"
