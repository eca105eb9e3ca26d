// The operator modes as the DJ presses them: moment, other page, proven-only and floor rescue.

#include "FeedHarness.h"

using namespace cw;
using namespace cw::test;

class ModesTest : public QObject {
    Q_OBJECT
private slots:
    void momentCycles();
    void variationWalksPages();
    void variationWithOnePage();
    void provenOnly();
    void momentWithoutPicks_data();
    void momentWithoutPicks();
    void panicStartsAtFirstPage();
    void largeFeed();
};

void ModesTest::momentCycles() {
    Panel p;
    p->cycleMoment();
    QCOMPARE(p->moment, 0);
    p->apply(parseJson(R"({"ok":true,"cats":[{"id":"w","label":"Warm"},{"id":"p","label":"Peak"},)"
                       R"({"id":"c","label":"Close"}]})"));
    const QStringList titles{"🎚 Warm", "🎚 Peak", "🎚 Close", "🎚 All"};
    for (qint64 expected : {1, 2, 3, 0}) {
        p->page = 4;
        p->cycleMoment();
        QCOMPARE(p->moment, expected);
        QCOMPARE(p->page, 0);
        QCOMPARE(p->btnMoment->text(), titles.at((expected + 3) % 4));
        QCOMPARE(p->btnMoment->tint(), expected ? settings().GREEN : settings().DIM);
    }
}

void ModesTest::variationWalksPages() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(13)}}));
    p->variation();
    QCOMPARE(p->page, 1);
    QCOMPARE(p.visibleRanks(), ranksFrom(7, 12));
    QVERIFY(p.row(0)->isHighlighted());
    p->variation();
    QCOMPARE(p->page, 2);
    QCOMPARE(p.visibleTitles(), QStringList{"T13"});
    QVERIFY(p.row(0)->isHighlighted());
    QVERIFY(!p.row(1)->isHighlighted());
    p->variation();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visibleRanks(), ranksFrom(1, 6));
    QCOMPARE(p->btnVar->tint(), settings().GREEN);
}

void ModesTest::variationWithOnePage() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(4)}}));
    p->variation();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visibleTitles(), titlesFrom(1, 4));
    QCOMPARE(p->btnVar->tint(), settings().GREEN);
    p->render();
    QCOMPARE(p->btnVar->tint(), settings().DIM);
    // With nothing on show the page is not wrapped and keeps counting.
    p->apply(playing("/a"));
    p->variation();
    p->variation();
    QCOMPARE(p->page, 2);
}

void ModesTest::provenOnly() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(7)}}));
    p->variation();
    p->toggleProven();
    QVERIFY(p->provenOnly);
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visibleTitles(), QStringList{"No proven sequence for this track"});
    QCOMPARE(p->btnProven->tint(), settings().GREEN);

    QJsonArray picks = numberedPicks(5);
    for (int i : {1, 3}) {
        QJsonObject pick = picks[i].toObject();
        pick.insert("proven", i);
        picks[i] = pick;
    }
    p->apply(playing("/a", {{"next", picks}}));
    QCOMPARE(p.visibleTitles(), (QStringList{"T2", "T4"}));
    QCOMPARE(p.visibleRanks(), ranksFrom(1, 2));
    p->toggleProven();
    QCOMPARE(p.visibleTitles(), titlesFrom(1, 5));
    QCOMPARE(p->btnProven->tint(), settings().DIM);
}

void ModesTest::momentWithoutPicks_data() {
    QTest::addColumn<QByteArray>("next");
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("requests pass") << QByteArray(R"([{"title":"A","cat":"peak"},{"title":"R1","prep":true},)"
                                                 R"({"title":"B"},{"title":"R2","prep":true,"cat":"peak"}])")
                                   << QStringList{"R1", "R2"};
    QTest::newRow("no requests") << QByteArray(R"([{"title":"A","cat":"peak"},{"title":"B","prep":"true"}])")
                                 << QStringList{"—"};
}

void ModesTest::momentWithoutPicks() {
    QFETCH(QByteArray, next);
    QFETCH(QStringList, titles);
    Panel p;
    p->apply(parseJson(R"({"ok":true,"cats":[{"id":"warm","label":"Warm"}],"next":)" + next + '}'));
    p->cycleMoment();
    QCOMPARE(p.visibleTitles(), titles);
}

void ModesTest::panicStartsAtFirstPage() {
    Panel p;
    QJsonArray bangers = numberedPicks(8);
    for (qsizetype i = 0; i < bangers.size(); ++i) {
        QJsonObject pick = bangers[i].toObject();
        pick.insert("title", QStringLiteral("B%1").arg(i + 1));
        bangers[i] = pick;
    }
    p->apply(playing("/a", {{"next", numberedPicks(13)}, {"bangers", bangers}}));
    p->variation();
    p->variation();
    QCOMPARE(p->page, 2);
    p->togglePanic();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visibleTitles(), (QStringList{"B1", "B2", "B3", "B4", "B5", "B6"}));
    QCOMPARE(p.row(0)->rank->text(), QStringLiteral("🆘"));
    QCOMPARE(p->btnPanic->tint(), settings().RED);
    p->variation();
    QCOMPARE(p.visibleTitles(), (QStringList{"B7", "B8"}));
    p->togglePanic();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visibleTitles(), titlesFrom(1, 6));
    QCOMPARE(p.row(0)->rank->text(), QStringLiteral("1"));
    QCOMPARE(p.row(0)->rank->textColor(), settings().RANKGRAY);
}

void ModesTest::largeFeed() {
    // Twenty thousand picks: every third in moment "b", every fifth proven, one request at the very end.
    QJsonArray next;
    for (int i = 1; i <= 20000; ++i) {
        QJsonObject pick{{"title", QStringLiteral("T%1").arg(i)}, {"cat", i % 3 == 0 ? "b" : "a"}};
        if (i % 5 == 0)
            pick.insert("proven", 1);
        if (i == 20000)
            pick.insert("prep", true);
        next.append(pick);
    }
    Panel p;
    p->apply(playing(
        "/a", {{"cats", QJsonArray{QJsonObject{{"id", "a"}, {"label", "A"}}, QJsonObject{{"id", "b"}, {"label", "B"}}}},
               {"next", next}}));
    p->cycleMoment();
    p->cycleMoment();
    p->toggleProven();
    // Moment "b" and proven: multiples of 15, then the request (20000, a multiple of 5).
    // 1333 multiples of 15 and the request: 1334 picks, the last page (222) holds two.
    p->page = 221;
    p->variation();
    QCOMPARE(p->page, 222);
    QCOMPARE(p.visibleTitles(), (QStringList{"T19995", "T20000"}));
    QCOMPARE(p.visibleRanks(), (QStringList{"1333", "🎁"}));
    p->variation();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visibleTitles(), (QStringList{"T15", "T30", "T45", "T60", "T75", "T90"}));
}

QTEST_MAIN(ModesTest)
#include "tst_modes.moc"
