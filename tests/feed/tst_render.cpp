// Rendering the pick rows, the fresh rows, the header and the mode buttons from controller state, on a
// panel built offscreen.

#include "FeedHarness.h"

using namespace cw;
using namespace cw::test;

namespace {
QColor colour(const QString& name) {
    const Settings& s = settings();
    return QHash<QString, QColor>{{"GOLD", s.GOLD}, {"GREEN", s.GREEN}, {"RED", s.RED}, {"RANKGRAY", s.RANKGRAY}}.value(
        name);
}
} // namespace

class RenderTest : public QObject {
    Q_OBJECT
private slots:
    void paging_data();
    void paging();
    void emptyListAndHeader_data();
    void emptyListAndHeader();
    void pickRow_data();
    void pickRow();
    void freshRowsFollowMomentInPanic();
};

void RenderTest::paging_data() {
    QTest::addColumn<int>("picks");
    QTest::addColumn<qint64>("page");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::addColumn<bool>("greenAfter"); // btnVar's tint at the next render
    QTest::newRow("eight picks, page 1") << 8 << qint64(1) << 7 << 8 << true;
    // The tint is taken before the page wraps, so it is green once more.
    QTest::newRow("six picks, page 1 wraps") << 6 << qint64(0) << 1 << 6 << false;
}

void RenderTest::paging() {
    QFETCH(int, picks);
    QFETCH(qint64, page);
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(bool, greenAfter);
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(picks)}}));
    p->page = 1;
    p->render();
    QCOMPARE(p->page, page);
    QCOMPARE(p.visible(), seq(first, last));
    QCOMPARE(p.visible(true), seq(first, last, {}));
    QVERIFY(p.row(0)->isHighlighted() && !p.row(1)->isHighlighted());
    QCOMPARE(p.row(1)->path, QStringLiteral("/m/%1.mp3").arg(first + 1));
    QCOMPARE(p.row(0)->rank->textColor(), settings().RANKGRAY);
    QCOMPARE(p->btnVar->tint(), settings().GREEN);
    p->render();
    QCOMPARE(p->btnVar->tint(), greenAfter ? settings().GREEN : settings().DIM);
}

void RenderTest::emptyListAndHeader_data() {
    QTest::addColumn<bool>("panic");
    QTest::addColumn<bool>("provenOnly");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("title");
    const QString next = QStringLiteral("⏭ PLAY NEXT · drag to deck"),
                  rescue = QStringLiteral("🆘 FLOOR RESCUE · bangers");
    const QString none = QStringLiteral("—"), noProven = QStringLiteral("No proven sequence for this track");
    QTest::newRow("next") << false << false << false << next << none;
    QTest::newRow("next, proven only") << false << true << false << next << noProven;
    QTest::newRow("locked") << false << false << true << QStringLiteral("🔒 FROZEN · play next") << none;
    QTest::newRow("bangers") << true << false << false << rescue << none;
    QTest::newRow("bangers, proven only") << true << true << false << rescue << noProven;
    QTest::newRow("rescue beats frozen") << true << false << true << rescue << none;
}

void RenderTest::emptyListAndHeader() {
    QFETCH(bool, panic);
    QFETCH(bool, provenOnly);
    QFETCH(bool, locked);
    QFETCH(QString, header);
    QFETCH(QString, title);
    Panel p;
    // Unproven picks and no bangers: every combination leaves nothing on show.
    p->apply(playing("/a", {{"next", numberedPicks(panic ? 3 : 0)}}));
    p->panic = panic;
    p->provenOnly = provenOnly;
    p->locked = locked;
    p->page = 2;
    p.row(0)->highlight(true);
    p->render();
    const Settings& s = settings();
    QCOMPARE(p->nxLab->text(), header);
    QCOMPARE(p->btnPanic->tint(), panic ? s.RED : s.DIM);
    QCOMPARE(p->btnLock->tint(), locked ? s.CYAN : s.DIM);
    QCOMPARE(p->btnProven->tint(), provenOnly ? s.GREEN : s.DIM);
    QCOMPARE(p->btnMoment->tint(), s.DIM);
    QCOMPARE(p.visible(), QStringList{title});
    QCOMPARE(p.row(0)->rank->text(), QString());
    QCOMPARE(p.row(0)->meta->text(), QString());
    QCOMPARE(p.row(0)->path, QString());
    QVERIFY(!p.row(0)->isHighlighted());
    QCOMPARE(p->page, 2);
}

void RenderTest::pickRow_data() {
    QTest::addColumn<QString>("lang");
    QTest::addColumn<bool>("panic");
    QTest::addColumn<QByteArray>("pick");
    QTest::addColumn<QString>("meta");
    QTest::addColumn<QString>("rank");
    QTest::addColumn<QString>("rankColour");
    // Picks without their own key and BPM are 4B at 126; their detail line is given after "4B  ·  126  ·  ".
    const struct {
        const char *name, *lang;
        bool panic;
        const char *pick, *meta, *rank = "1", *colour = "RANKGRAY";
    } rows[] = {
        {"request", "en", false, R"("prep":true,"proven":3)", "request", "🎁", "GOLD"},
        {"request fits now", "en", false, R"("prep":true,"fitnow":true,"proven":3)", "request · fits now!", "🎁",
         "GREEN"},
        {"request in panic", "en", true, R"("prep":true,"proven":3)", "banger 3×", "🎁", "GOLD"},
        {"proven", "en", false, R"("proven":3)", "played after 3×"},
        {"banger", "en", true, R"("proven":3)", "banger 3×", "🆘", "RED"},
        {"five parts", "en", false, R"("proven":2,"harmonic":true,"fresh":"rested","rest":400,"src":"crate")",
         "played after 2× 🎵  ·  🌱 rested 1y  ·  crate"},
        {"rest 10", "en", false, R"("fresh":"rested","rest":10)", "key / BPM  ·  🌱 rested 1mo"},
        {"rest 359", "en", false, R"("fresh":"rested_long","rest":359)", "key / BPM  ·  🌱 rested 11mo"},
        {"rest 360", "en", false, R"("fresh":"rested","rest":360)", "key / BPM  ·  🌱 rested 1y"},
        {"rest 719", "en", false, R"("fresh":"rested_long","rest":719)", "key / BPM  ·  🌱 rested 1y"},
        {"rested, no age", "en", false, R"("fresh":"rested")", "key / BPM  ·  🌱 rested"},
        {"overplayed with rest", "en", false, R"("fresh":"overplayed","rest":400)", "key / BPM  ·  🔁 every gig"},
        {"unknown freshness", "en", false, R"("fresh":"unknown","rest":40)", "key / BPM"},
        {"he proven, months", "he", false, R"("proven":4,"fresh":"rested","rest":60)", "רצף 4×  ·  🌱 נח 2 ח׳"},
        {"he banger, years", "he", true, R"("proven":5,"fresh":"rested_long","rest":800)", "באנגר 5×  ·  🌱 נח 2 שנ׳",
         "🆘", "RED"},
        {"he never", "he", false, R"("fresh":"never")", "סולם/BPM  ·  🌱 מעולם לא ניגנת"},
        // Key and BPM read strictly: a fraction or a string is no BPM, a number no key.
        {"harmonic request, empty key", "en", false, R"("key":"","bpm":127.5,"prep":true,"harmonic":true)",
         "—  ·  0  ·  request 🎵", "🎁", "GOLD"},
        {"mistyped keys", "en", false, R"("key":7,"bpm":"122","proven":"2","src":false)", "—  ·  0  ·  key / BPM"},
    };
    for (const auto& r : rows) {
        const QString meta = QString(r.pick).contains("\"key\"") ? r.meta : "4B  ·  126  ·  " + QString(r.meta);
        QTest::newRow(r.name) << QString(r.lang) << r.panic << QByteArray(r.pick) << meta << QString(r.rank)
                              << QString(r.colour);
    }
}

void RenderTest::pickRow() {
    QFETCH(QString, lang);
    QFETCH(bool, panic);
    QFETCH(QByteArray, pick);
    QFETCH(QString, meta);
    QFETCH(QString, rank);
    QFETCH(QString, rankColour);
    Panel p(lang);
    QJsonObject object = parseJson('{' + pick + '}');
    if (!object.contains("key"))
        object.insert("key", "4B"), object.insert("bpm", 126);
    const QJsonArray list{object};
    p->panic = panic;
    p->apply(playing("/a", {{"next", list}, {"bangers", list}}));
    QCOMPARE(p.row(0)->meta->text(), meta);
    QCOMPARE(p.row(0)->title->text(), QStringLiteral("—"));
    QCOMPARE(p.row(0)->rank->text(), rank);
    QCOMPARE(p.row(0)->rank->textColor(), colour(rankColour));
}

void RenderTest::freshRowsFollowMomentInPanic() {
    Panel p;
    p->apply(parseJson(R"({
        "ok": true, "now": {"path": "/a"},
        "cats": [{"id": "warm", "label": "Warm-up"}, {"id": "peak", "label": "Peak"}],
        "fresh": [
            {"title": "F1", "key": "2A", "bpm": 118, "cat": "warm", "path": "/f/1.mp3"},
            {"title": "F2", "key": "", "bpm": 128, "cat": "peak", "reason": "new this week", "src": "promo"},
            {"title": "F3", "bpm": 128, "cat": "peak", "path": "/f/3.mp3"}
        ],
        "bangers": [{"title": "B1", "proven": 9}]
    })"));
    QVERIFY(!p.fresh(0)->isHidden() && !p.fresh(1)->isHidden());
    QCOMPARE(p.fresh(0)->meta->text(), QStringLiteral("2A  ·  118  ·  fits"));

    p->togglePanic();
    p->cycleMoment();
    p->cycleMoment();
    QCOMPARE(p->moment, 2);
    QCOMPARE(p.fresh(0)->title->text(), QStringLiteral("F2"));
    QCOMPARE(p.fresh(0)->meta->text(), QStringLiteral("—  ·  128  ·  new this week  ·  promo"));
    QCOMPARE(p.fresh(0)->rank->text(), QStringLiteral("✨"));
    QCOMPARE(p.fresh(1)->path, QStringLiteral("/f/3.mp3"));
    QVERIFY(!p.fresh(0)->isHighlighted());
    QCOMPARE(p.visible(), QStringList{"B1"}); // the bangers ignore the moment

    p->cycleMoment();
    p->cycleMoment();
    QCOMPARE(p->moment, 1);
    QCOMPARE(p.fresh(0)->title->text(), QStringLiteral("F1"));
    QVERIFY(p.fresh(1)->isHidden());
}

QTEST_MAIN(RenderTest)
#include "tst_render.moc"
