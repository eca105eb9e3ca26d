// Applying feed documents to the controller: the rut meter, the now-playing card, the track change and
// its page reset, the moments, the lists and the waiting state.

#include "FeedHarness.h"

using namespace cw;
using namespace cw::test;

class FeedApplyTest : public QObject {
    Q_OBJECT
private slots:
    void rut_data();
    void rut();
    void waitingState();
    void pageFollowsTrack();
    void nowPlaying_data();
    void nowPlaying();
    void moments_data();
    void moments();
    void mistypedLists();
};

void FeedApplyTest::rut_data() {
    QTest::addColumn<QByteArray>("r"); // as the JSON text has it
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("colour");
    const struct {
        double r;
        const char *text, *colour;
    } rows[] = {
        {0.25, "some repeats · 25%", "grey"},
        {0.45, "same as usual · 45%", "GOLD"},
        {0.2499, "fresh set · 24%", "GREEN"},
        {0.29, "some repeats · 28%", "grey"},
        {0.57, "same as usual · 56%", "GOLD"},
        {1.5, "same as usual · 150%", "GOLD"},
        {-0.1, "fresh set · -10%", "GREEN"},
        // A percentage without a 64-bit value (2^63 and beyond) gets no number; -2^63 still has one.
        {0x1p63 / 100, "same as usual", "GOLD"},
        {-0x1p63 / 100, "fresh set · -9223372036854775808%", "GREEN"},
        {-1e300, "fresh set", "GREEN"},
    };
    for (const auto& row : rows)
        QTest::newRow(QByteArray::number(row.r).constData())
            << QByteArray::number(row.r, 'g', 17) << QString(row.text) << QString(row.colour);
    // No number: no text, and the colour stays as it was.
    QTest::newRow("a string") << QByteArray(R"("0.1")") << QString() << QStringLiteral("GOLD");
}

void FeedApplyTest::rut() {
    QFETCH(QByteArray, r);
    QFETCH(QString, text);
    QFETCH(QString, colour);
    Panel p;
    p->apply(parseJson(R"({"ok":true,"rut":0.5})"));
    p->apply(parseJson(R"({"ok":true,"rut":)" + r + '}'));
    QCOMPARE(p->rutLab->text(), text);
    const QColor expected = colour == "GOLD"    ? settings().GOLD
                            : colour == "GREEN" ? settings().GREEN
                                                : QColor::fromRgbF(0.66f, 0.66f, 0.66f);
    QCOMPARE(p->rutLab->textColor(), expected);
}

void FeedApplyTest::waitingState() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(9)},
                            {"fresh", numberedPicks(2)},
                            {"cats", QJsonArray{QJsonObject{{"id", "a"}, {"label", "A"}}}}}));
    p->variation();
    p->cycleMoment();
    p->locked = true;
    // A string "true" is not true.
    for (const char* waiting : {R"({"ok":false,"rut":0.1,"next":[{"title":"x"}]})", R"({"ok":"true","rut":0.1})"}) {
        p->apply(parseJson(waiting));
        QCOMPARE(p->nowTitle->text(), QStringLiteral("⏳ Waiting for Serato…"));
        QCOMPARE(p->nowMeta->text(), QStringLiteral("Play a track — picks appear"));
        QCOMPARE(p->rutLab->text(), QStringLiteral("fresh set · 10%"));
        QCOMPARE(p->rutLab->textColor(), settings().GREEN);
        QVERIFY(p->fullNext.isEmpty() && p->fullFresh.isEmpty() && p->fullBangers.isEmpty());
        for (DragRow* row : p->rows + p->freshRows)
            QVERIFY(row->isHidden() && !row->isHighlighted());
        // No render: header and buttons as the last render left them, the modes untouched.
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
    QCOMPARE(p.visible(), seq(7, 12));

    p->apply(playing("/b", lists));
    QCOMPARE(p->page, 0);
    QCOMPARE(p->curPath, QStringLiteral("/b"));
    QCOMPARE(p.visible(), seq(1, 6));

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
    QTest::newRow("full") << QByteArray(R"({"ok":true,"played":17,"now":{"title":"Halcyon","key":"8A","bpm":124}})")
                          << QStringLiteral("Halcyon") << QStringLiteral("8A · 124 BPM · 17 played tonight");
    QTest::newRow("empty key") << QByteArray(R"({"ok":true,"played":3,"now":{"key":"","bpm":98}})")
                               << QStringLiteral("—") << QStringLiteral("— · 98 BPM · 3 played tonight");
}

void FeedApplyTest::nowPlaying() {
    QFETCH(QByteArray, doc);
    QFETCH(QString, title);
    QFETCH(QString, meta);
    Panel p;
    p->apply(parseJson(doc));
    QCOMPARE(p->nowTitle->text(), title);
    QCOMPARE(p->nowMeta->text(), meta);
    QCOMPARE(p.visible(), QStringList{"—"});
}

void FeedApplyTest::moments_data() {
    QTest::addColumn<QByteArray>("cats");
    QTest::addColumn<qint64>("moment");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QString>("button"); // empty: hidden
    const struct {
        const char *name, *cats;
        qint64 moment;
        QStringList ids;
        const char* button;
    } rows[] = {
        {"three stays",
         R"("cats":[{"id":"a","label":"A"},{"id":"b","label":"B"},{"id":"c","label":"C"}])",
         3,
         {"a", "b", "c"},
         "🎚 C"},
        {"two resets", R"("cats":[{"id":"x","label":"X"},{"id":"y","label":"Y"}])", 0, {"x", "y"}, "🎚 All"},
        {"empty hides", R"("cats":[])", 0, {}, ""},
        {"absent keeps", R"("other":1)", 3, {"a", "b", "c"}, "🎚 C"},
        {"incomplete entries dropped",
         R"("cats":[{"id":"x"},{"id":"y","label":"Y"},{"label":"Z"},{"id":"w","label":7},{"id":"v","label":"V"}])",
         0,
         {"y", "v"},
         "🎚 All"},
    };
    for (const auto& r : rows)
        QTest::newRow(r.name) << QByteArray(r.cats) << r.moment << r.ids << QString(r.button);
}

void FeedApplyTest::moments() {
    QFETCH(QByteArray, cats);
    QFETCH(qint64, moment);
    QFETCH(QStringList, ids);
    QFETCH(QString, button);
    Panel p;
    p->apply(parseJson(R"({"ok":true,"cats":[{"id":"a","label":"A"},{"id":"b","label":"B"},{"id":"c","label":"C"}]})"));
    p->moment = 3;
    p->apply(parseJson("{\"ok\":true," + cats + '}'));
    QCOMPARE(p->moment, moment);
    QStringList got;
    for (const Moment& m : p->cats)
        got << m.id;
    QCOMPARE(got, ids);
    QCOMPARE(p->btnMoment->isHidden(), button.isEmpty());
    if (!button.isEmpty())
        QCOMPARE(p->btnMoment->text(), button);
}

void FeedApplyTest::mistypedLists() {
    Panel p;
    p->apply(playing("/a", {{"next", numberedPicks(3)}, {"fresh", numberedPicks(2)}}));
    QJsonObject doc = playing("/a");
    doc.insert("next", QJsonArray{QJsonObject{{"title", "A"}}, "stray", QJsonObject{{"title", "B"}}});
    doc.insert("fresh", QJsonObject{{"title", "F"}});
    doc.insert("bangers", QJsonArray{QJsonObject{{"title", "B1"}}, QJsonValue::Null});
    p->apply(doc);
    QVERIFY(p->fullNext.isEmpty() && p->fullFresh.isEmpty() && p->fullBangers.isEmpty());
    QCOMPARE(p.visible(), QStringList{"—"});
    QVERIFY(p.fresh(0)->isHidden() && p.fresh(1)->isHidden());
}

QTEST_MAIN(FeedApplyTest)
#include "tst_feedapply.moc"
