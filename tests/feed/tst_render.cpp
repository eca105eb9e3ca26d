// Rendering the pick rows, the fresh rows, the header and the mode buttons from controller state, and
// the wording of counts and freshness, on a panel built offscreen.

#include "FeedHarness.h"

#include "feed/Labels.h"

using namespace cw;
using namespace cw::test;

class RenderTest : public QObject {
    Q_OBJECT
private slots:
    void pagesOfSix();
    void wrapKeepsVariationTint();
    void emptyList_data();
    void emptyList();
    void requestRow_data();
    void requestRow();
    void detailLine_data();
    void detailLine();
    void labelsByLanguage_data();
    void labelsByLanguage();
    void hebrewRowsUseHebrewForms();
    void freshRowsFollowMomentInPanic();
    void header_data();
    void header();
};

void RenderTest::pagesOfSix() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(8)}}));
    p->page = 1;
    p->render();
    QCOMPARE(p->page, 1);
    QCOMPARE(p.visibleTitles(), titlesFrom(7, 8));
    QCOMPARE(p.visibleRanks(), ranksFrom(7, 8));
    QVERIFY(p.row(0)->isHighlighted());
    QVERIFY(!p.row(1)->isHighlighted());
    QCOMPARE(p.row(1)->path, QStringLiteral("/m/8.mp3"));
    QCOMPARE(p.row(0)->rank->textColor(), settings().RANKGRAY);
}

void RenderTest::wrapKeepsVariationTint() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(6)}}));
    p->page = 1;
    p->render();
    QCOMPARE(p->page, 0);
    QCOMPARE(p.visibleTitles(), titlesFrom(1, 6));
    QCOMPARE(p.visibleRanks(), ranksFrom(1, 6));
    QCOMPARE(p->btnVar->tint(), settings().GREEN);
    p->render();
    QCOMPARE(p->btnVar->tint(), settings().DIM);
}

void RenderTest::emptyList_data() {
    QTest::addColumn<bool>("panic");
    QTest::addColumn<bool>("provenOnly");
    QTest::addColumn<QString>("title");
    QTest::newRow("next") << false << false << "—";
    QTest::newRow("next, proven only") << false << true << "No proven sequence for this track";
    QTest::newRow("bangers") << true << false << "—";
    QTest::newRow("bangers, proven only") << true << true << "No proven sequence for this track";
}

void RenderTest::emptyList() {
    QFETCH(bool, panic);
    QFETCH(bool, provenOnly);
    QFETCH(QString, title);
    Panel p;
    // Picks without a proven count, and no bangers: every combination ends with an empty list on show.
    p->apply(playing("/a", {{"next", numberedPicks(panic ? 3 : 0)}}));
    p->panic = panic;
    p->provenOnly = provenOnly;
    p->page = 2;
    p->rows.at(0)->highlight(true);
    p->render();
    QCOMPARE(p.visibleTitles(), QStringList{title});
    QCOMPARE(p.row(0)->rank->text(), QString());
    QCOMPARE(p.row(0)->meta->text(), QString());
    QCOMPARE(p.row(0)->path, QString());
    QVERIFY(!p.row(0)->isHighlighted());
    QCOMPARE(p->page, 2);
}

void RenderTest::requestRow_data() {
    QTest::addColumn<QByteArray>("pick");
    QTest::addColumn<bool>("panic");
    QTest::addColumn<QString>("meta");
    QTest::addColumn<QString>("rank");
    QTest::addColumn<QString>("rankColour");
    const QByteArray request = R"({"title":"R","key":"4B","bpm":126,"prep":true,"proven":3})";
    const QByteArray fitting = R"({"title":"R","key":"4B","bpm":126,"prep":true,"fitnow":true,"proven":3})";
    const QByteArray plain = R"({"title":"R","key":"4B","bpm":126,"proven":3})";
    QTest::newRow("request") << request << false << "4B  ·  126  ·  request"
                             << "🎁"
                             << "GOLD";
    QTest::newRow("request fits now") << fitting << false << "4B  ·  126  ·  request · fits now!"
                                      << "🎁"
                                      << "GREEN";
    QTest::newRow("request in panic") << request << true << "4B  ·  126  ·  banger 3×"
                                      << "🎁"
                                      << "GOLD";
    QTest::newRow("proven") << plain << false << "4B  ·  126  ·  played after 3×"
                            << "1"
                            << "RANKGRAY";
    QTest::newRow("banger") << plain << true << "4B  ·  126  ·  banger 3×"
                            << "🆘"
                            << "RED";
}

void RenderTest::requestRow() {
    QFETCH(QByteArray, pick);
    QFETCH(bool, panic);
    QFETCH(QString, meta);
    QFETCH(QString, rank);
    QFETCH(QString, rankColour);
    Panel p;
    const QJsonArray list{parseJson(pick)};
    p->panic = panic;
    p->apply(playing("/a", {{"next", list}, {"bangers", list}}));
    QCOMPARE(p.row(0)->meta->text(), meta);
    QCOMPARE(p.row(0)->rank->text(), rank);
    const Settings& s = settings();
    const QHash<QString, QColor> colours{
        {"GOLD", s.GOLD}, {"GREEN", s.GREEN}, {"RED", s.RED}, {"RANKGRAY", s.RANKGRAY}};
    QCOMPARE(p.row(0)->rank->textColor(), colours.value(rankColour));
}

void RenderTest::detailLine_data() {
    QTest::addColumn<QByteArray>("pick");
    QTest::addColumn<QString>("meta");
    QTest::newRow("five parts")
        << QByteArray(R"({"key":"9A","bpm":122,"proven":2,"harmonic":true,"fresh":"rested","rest":400,"src":"crate"})")
        << "9A  ·  122  ·  played after 2× 🎵  ·  🌱 rested 1y  ·  crate";
    QTest::newRow("rest 10") << QByteArray(R"({"key":"9A","bpm":122,"fresh":"rested","rest":10})")
                             << "9A  ·  122  ·  key / BPM  ·  🌱 rested 1mo";
    QTest::newRow("rest 359") << QByteArray(R"({"key":"9A","bpm":122,"fresh":"rested_long","rest":359})")
                              << "9A  ·  122  ·  key / BPM  ·  🌱 rested 11mo";
    QTest::newRow("rest 360") << QByteArray(R"({"key":"9A","bpm":122,"fresh":"rested","rest":360})")
                              << "9A  ·  122  ·  key / BPM  ·  🌱 rested 1y";
    QTest::newRow("rest 719") << QByteArray(R"({"key":"9A","bpm":122,"fresh":"rested_long","rest":719})")
                              << "9A  ·  122  ·  key / BPM  ·  🌱 rested 1y";
    QTest::newRow("rested, no age") << QByteArray(R"({"key":"9A","bpm":122,"fresh":"rested"})")
                                    << "9A  ·  122  ·  key / BPM  ·  🌱 rested";
    QTest::newRow("overplayed with rest") << QByteArray(R"({"key":"9A","bpm":122,"fresh":"overplayed","rest":400})")
                                          << "9A  ·  122  ·  key / BPM  ·  🔁 every gig";
    QTest::newRow("never") << QByteArray(R"({"key":"9A","bpm":122,"fresh":"never"})")
                           << "9A  ·  122  ·  key / BPM  ·  🌱 never played";
    QTest::newRow("unknown freshness") << QByteArray(R"({"key":"9A","bpm":122,"fresh":"unknown","rest":40})")
                                       << "9A  ·  122  ·  key / BPM";
    QTest::newRow("harmonic request") << QByteArray(R"({"key":"","bpm":127.5,"prep":true,"harmonic":true})")
                                      << "—  ·  0  ·  request 🎵";
    QTest::newRow("mistyped keys") << QByteArray(R"({"key":7,"bpm":"122","proven":"2","src":false,"rest":"9"})")
                                   << "—  ·  0  ·  key / BPM";
}

void RenderTest::detailLine() {
    QFETCH(QByteArray, pick);
    QFETCH(QString, meta);
    Panel p;
    p->apply(playing("/a", {{"next", QJsonArray{parseJson(pick)}}}));
    QCOMPARE(p.row(0)->meta->text(), meta);
    QCOMPARE(p.row(0)->title->text(), QStringLiteral("—"));
}

void RenderTest::labelsByLanguage_data() {
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("n");
    QTest::addColumn<QString>("fresh");
    QTest::addColumn<qint64>("rest");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("badge");
    QTest::newRow("he proven, months") << "he"
                                       << "proven" << qint64(2) << "rested" << qint64(95) << "רצף 2×"
                                       << "🌱 נח 3 ח׳";
    QTest::newRow("he banger, years") << "he"
                                      << "banger" << qint64(5) << "rested_long" << qint64(800) << "באנגר 5×"
                                      << "🌱 נח 2 שנ׳";
    QTest::newRow("he never") << "he"
                              << "other" << qint64(-1) << "never" << qint64(3) << "באנגר -1×"
                              << "🌱 מעולם לא ניגנת";
    QTest::newRow("en") << "en"
                        << "proven" << qint64(12) << "rested" << qint64(95) << "played after 12×"
                        << "🌱 rested 3mo";
    QTest::newRow("de") << "de"
                        << "banger" << qint64(1) << "rested" << qint64(365) << "banger 1×"
                        << "🌱 ausgeruht 1y";
}

void RenderTest::labelsByLanguage() {
    QFETCH(QString, lang);
    QFETCH(QString, kind);
    QFETCH(qint64, n);
    QFETCH(QString, fresh);
    QFETCH(qint64, rest);
    QFETCH(QString, count);
    QFETCH(QString, badge);
    QCOMPARE(Lp(lang, kind, n), count);
    QCOMPARE(freshBadge(lang, fresh, rest), badge);
}

void RenderTest::hebrewRowsUseHebrewForms() {
    Panel p(QStringLiteral("he"));
    QCOMPARE(settings().LANG, QStringLiteral("he"));
    QCOMPARE(Lp(QStringLiteral("proven"), 4), QStringLiteral("רצף 4×"));
    QCOMPARE(freshBadge(QStringLiteral("rested"), 400), QStringLiteral("🌱 נח 1 שנ׳"));
    p->apply(playing(
        "/a", {{"next", QJsonArray{parseJson(R"({"key":"9A","bpm":122,"proven":4,"fresh":"rested","rest":60})")}}}));
    QCOMPARE(p.row(0)->meta->text(), QStringLiteral("9A  ·  122  ·  רצף 4×  ·  🌱 נח 2 ח׳"));
}

void RenderTest::freshRowsFollowMomentInPanic() {
    Panel p;
    const QJsonObject doc = parseJson(R"({
        "ok": true, "now": {"path": "/a"},
        "cats": [{"id": "warm", "label": "Warm-up"}, {"id": "peak", "label": "Peak"}],
        "fresh": [
            {"title": "F1", "key": "2A", "bpm": 118, "cat": "warm", "path": "/f/1.mp3"},
            {"title": "F2", "key": "", "bpm": 128, "cat": "peak", "reason": "new this week", "src": "promo"},
            {"title": "F3", "bpm": 128, "cat": "peak", "path": "/f/3.mp3"}
        ],
        "bangers": [{"title": "B1", "proven": 9}]
    })");
    p->apply(doc);
    QVERIFY(!p.fresh(0)->isHidden() && !p.fresh(1)->isHidden());
    QCOMPARE(p.fresh(0)->title->text(), QStringLiteral("F1"));
    QCOMPARE(p.fresh(0)->meta->text(), QStringLiteral("2A  ·  118  ·  fits"));

    p->togglePanic();
    p->cycleMoment();
    p->cycleMoment();
    QCOMPARE(p->moment, 2);
    QCOMPARE(p.fresh(0)->title->text(), QStringLiteral("F2"));
    QCOMPARE(p.fresh(0)->meta->text(), QStringLiteral("—  ·  128  ·  new this week  ·  promo"));
    QCOMPARE(p.fresh(0)->rank->text(), QStringLiteral("✨"));
    QCOMPARE(p.fresh(1)->title->text(), QStringLiteral("F3"));
    QCOMPARE(p.fresh(1)->path, QStringLiteral("/f/3.mp3"));
    QVERIFY(!p.fresh(0)->isHighlighted());
    // The bangers themselves ignore the moment.
    QCOMPARE(p.visibleTitles(), QStringList{"B1"});

    p->cycleMoment();
    p->cycleMoment();
    QCOMPARE(p->moment, 1);
    QCOMPARE(p.fresh(0)->title->text(), QStringLiteral("F1"));
    QVERIFY(p.fresh(1)->isHidden());
}

void RenderTest::header_data() {
    QTest::addColumn<bool>("panic");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<QString>("header");
    QTest::newRow("plain") << false << false << "⏭ PLAY NEXT · drag to deck";
    QTest::newRow("locked") << false << true << "🔒 FROZEN · play next";
    QTest::newRow("panic") << true << false << "🆘 FLOOR RESCUE · bangers";
    QTest::newRow("panic beats locked") << true << true << "🆘 FLOOR RESCUE · bangers";
}

void RenderTest::header() {
    QFETCH(bool, panic);
    QFETCH(bool, locked);
    QFETCH(QString, header);
    Panel p;
    p->panic = panic;
    p->locked = locked;
    p->render();
    QCOMPARE(p->nxLab->text(), header);
    const Settings& s = settings();
    QCOMPARE(p->btnPanic->tint(), panic ? s.RED : s.DIM);
    QCOMPARE(p->btnLock->tint(), locked ? s.CYAN : s.DIM);
    QCOMPARE(p->btnProven->tint(), s.DIM);
    QCOMPARE(p->btnMoment->tint(), s.DIM);
}

QTEST_MAIN(RenderTest)
#include "tst_render.moc"
