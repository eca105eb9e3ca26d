// The operator modes as the DJ presses them: moment, other page, proven-only and floor rescue.

#include "FeedHarness.h"

using namespace cw;
using namespace cw::test;

class ModesTest : public QObject {
    Q_OBJECT
private slots:
    void momentCycles();
    void variationWalksPages();
    void provenOnly();
    void momentWithoutPicks_data();
    void momentWithoutPicks();
    void panicStartsAtFirstPage();
};

void ModesTest::momentCycles() {
    Panel p;
    p->cycleMoment();
    QCOMPARE(p->moment, 0);
    p->apply(parseJson(R"({"ok":true,"cats":[{"id":"w","label":"Warm"},{"id":"p","label":"Peak"},)"
                       R"({"id":"c","label":"Close"}]})"));
    const QStringList titles{"🎚 All", "🎚 Warm", "🎚 Peak", "🎚 Close"};
    for (qint64 expected : {1, 2, 3, 0}) {
        p->page = 4;
        p->cycleMoment();
        QCOMPARE(p->moment, expected);
        QCOMPARE(p->page, 0);
        QCOMPARE(p->btnMoment->text(), titles.at(expected));
        QCOMPARE(p->btnMoment->tint(), expected ? settings().GREEN : settings().DIM);
    }
}

void ModesTest::variationWalksPages() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(13)}}));
    p->variation();
    QCOMPARE(p->page, 1);
    QCOMPARE(p.visible(true), seq(7, 12, {}));
    p->variation();
    QCOMPARE(p->page, 2);
    QCOMPARE(p.visible(), QStringList{"T13"});
    QVERIFY(p.row(0)->isHighlighted() && !p.row(1)->isHighlighted());
    p->variation();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visible(true), seq(1, 6, {}));
    QCOMPARE(p->btnVar->tint(), settings().GREEN);
}

void ModesTest::provenOnly() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(7)}}));
    p->variation();
    p->toggleProven();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visible(), QStringList{"No proven sequence for this track"});
    QCOMPARE(p->btnProven->tint(), settings().GREEN);

    QJsonArray picks = numberedPicks(5);
    for (int i : {1, 3}) {
        QJsonObject pick = picks[i].toObject();
        pick.insert("proven", i);
        picks[i] = pick;
    }
    p->apply(playing("/a", {{"next", picks}}));
    QCOMPARE(p.visible(), (QStringList{"T2", "T4"}));
    QCOMPARE(p.visible(true), (QStringList{"1", "2"}));
    p->toggleProven();
    QCOMPARE(p.visible(), seq(1, 5));
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
    QCOMPARE(p.visible(), titles);
}

void ModesTest::panicStartsAtFirstPage() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(13)}, {"bangers", numberedPicks(8, "B")}}));
    p->variation();
    p->variation();
    QCOMPARE(p->page, 2);
    p->togglePanic();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visible(), seq(1, 6, "B"));
    QCOMPARE(p.row(0)->rank->text(), QStringLiteral("🆘"));
    QCOMPARE(p->btnPanic->tint(), settings().RED);
    p->variation();
    QCOMPARE(p.visible(), seq(7, 8, "B"));
    p->togglePanic();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visible(), seq(1, 6));
    QCOMPARE(p.row(0)->rank->text(), QStringLiteral("1"));
    QCOMPARE(p.row(0)->rank->textColor(), settings().RANKGRAY);
}

QTEST_MAIN(ModesTest)
#include "tst_modes.moc"
