// What the panel shows, as the controller computes it, for sequences of documents and button presses:
// one table of (language, steps) → expected parts of the view. No widget is built; the controller
// without a panel keeps the same state and view. Then the remembered position, as pure rules over
// screen layouts, and the platform a Wayland session runs the panel on.

#include "config/TextTable.h"
#include "config/Texts.h"
#include "controller/AppDelegate.h"
#include "controller/Startup.h"
#include "support/Support.h"
#include "ui/PositionFile.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

using namespace cw;
using namespace cw::test;

namespace {

// Steps: an action's name, or a document in which `$` stands for a playing track at /a and `%<X><n>`
// for n picks titled <X>1.. (T when no letter), keyed 1A.., at 120 BPM, with paths /m/<X>1.mp3...
void play(AppDelegate& d, const QString& step) {
    using Action = void (AppDelegate::*)();
    static const QHash<QString, Action> actions{{"variation", &AppDelegate::variation},
                                                {"toggleProven", &AppDelegate::toggleProven},
                                                {"cycleMoment", &AppDelegate::cycleMoment},
                                                {"togglePanic", &AppDelegate::togglePanic},
                                                {"toggleLock", &AppDelegate::toggleLock}};
    if (actions.contains(step))
        return (d.*actions.value(step))();
    QString json = QString(step).replace(u'$', QStringLiteral(R"("ok":true,"now":{"path":"/a"})"));
    static const QRegularExpression picks(QStringLiteral("%([A-Z]?)(\\d+)"));
    for (QRegularExpressionMatch m = picks.match(json); m.hasMatch(); m = picks.match(json)) {
        QStringList list;
        const QString name = m.captured(1).isEmpty() ? QStringLiteral("T") : m.captured(1);
        for (int i = 1; i <= m.captured(2).toInt(); ++i)
            list << QStringLiteral(R"({"title":"%1%2","key":"%2A","bpm":120,"path":"/m/%1%2.mp3"})").arg(name).arg(i);
        json.replace(m.capturedStart(), m.capturedLength(), u'[' + list.join(u',') + u']');
    }
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    QVERIFY2(document.isObject(), qPrintable(json));
    d.apply(document.object());
}

QString tone(Tone t) {
    static const char* const names[] = {"Green", "Dim", "Gold", "Red", "Cyan", "RankGray", "RutGrey"};
    return QString::fromLatin1(names[int(t)]);
}

// One part of the view (and the modes behind it) as text.
QString part(const AppDelegate& d, const QString& name) {
    const PanelView& v = d.view();
    const auto shown = [](const auto& rows, auto describe) {
        QStringList out;
        for (const RowView& row : rows)
            if (row.shown)
                out << describe(row);
        return out.join(u'|');
    };
    const QHash<QString, QString> parts{
        {"title", v.nowTitle},
        {"meta", v.nowMeta},
        {"rut", v.rut.text + u'/' + tone(v.rut.tone)},
        {"header", v.header},
        {"moment",
         QStringLiteral("%1 %2 %3").arg(d.modes().moment).arg(v.momentTitle, v.momentShown ? "shown" : "hidden")},
        {"tints",
         QStringList{tone(v.proven), tone(v.variation), tone(v.moment), tone(v.panic), tone(v.lock)}.join(u' ')},
        {"rows", shown(v.rows, [](const RowView& r) { return r.title; })},
        {"ranks",
         shown(v.rows, [](const RowView& r) { return r.rank + u'/' + (r.rankTone ? tone(*r.rankTone) : "-"); })},
        {"detail", v.rows[0].detail + u'/' + v.rows[0].path},
        {"lit", shown(v.rows, [](const RowView& r) { return QString::number(r.highlighted); })},
        {"fresh", shown(v.freshRows,
                        [](const RowView& r) { return r.rank + u' ' + r.title + u'/' + r.detail + u'/' + r.path; })},
        {"page", QString::number(d.modes().page)}};
    return parts.value(name, QStringLiteral("<no part %1>").arg(name));
}

const QString kCats3 =
    QStringLiteral(R"({$,"cats":[{"id":"a","label":"A"},{"id":"b","label":"B"},{"id":"c","label":"C"}]})");
// A document whose one pick (and one banger) is keyed 4B at 126 BPM, with the given keys.
QString pick(const char* keys) {
    return QStringLiteral(R"({$,"next":[{"key":"4B","bpm":126,%1}],"bangers":[{"key":"4B","bpm":126,%1}]})").arg(keys);
}

} // namespace

class TestPanelView : public QObject {
    Q_OBJECT
private slots:
    void view_data() {
        QTest::addColumn<QString>("lang");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("expected"); // "part=text"
        const auto row = [](const char* name, QStringList steps, QStringList expected, const char* lang = "en") {
            QTest::newRow(name) << QString(lang) << steps << expected;
        };
        const QString play = "header=⏭ PLAY NEXT · drag to deck", dim = "tints=Dim Dim Dim Dim Dim";
        // Before any document, and the rut meter: bands chosen on the share, the percentage truncated.
        row("start", {}, {"title=loading…", "meta=", "rut=/RutGrey", play, dim, "moment=0 🎚 All shown", "rows="});
        for (const auto& [r, text] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"0.29", "some repeats · 28%/RutGrey"},
                 {"92233720368547758.08", "same as usual/Gold"}, // 2^63 %: no 64-bit percentage
                 {"\"0.1\"", "/Gold"}})                          // not a number: no text, the colour as it was
            row(qPrintable(QStringLiteral("rut %1").arg(r)),
                {R"({"ok":true,"rut":0.5})", QStringLiteral(R"({"ok":true,"rut":%1})").arg(r)},
                {QStringLiteral("rut=") + text});

        // The now-playing card, strict types: a fractional BPM is none, an empty key shows as a dash.
        row("now playing", {R"({"ok":true,"played":17,"now":{"title":"Halcyon","key":"8A","bpm":124}})"},
            {"title=Halcyon", "meta=8A · 124 BPM · 17 played tonight", "rows=—", "ranks=/-", "detail=/", "lit=0"});
        row("only ok", {R"({"ok":true,"now":{"key":"","bpm":127.5,"title":7}})"},
            {"title=—", "meta=— · 0 BPM · 0 played tonight"});
        // Waiting: the texts and the rut follow, the rows go, header and buttons stay as the last render left
        // them, and nothing but the lists changes (the track neither: see "same track keeps the page").
        row("waiting",
            {R"({$,"next":%9,"fresh":%2,"cats":[{"id":"a","label":"A"}]})", "variation", "cycleMoment", "toggleLock",
             R"({"ok":false,"rut":0.1,"next":%3,"source":{"id":"mixxx","name":"Mixxx"}})"},
            {"title=⏳ Waiting for Mixxx…", "meta=Play a track — picks appear", "rut=fresh set · 10%/Green",
             "header=🔒 FROZEN · play next", "tints=Dim Dim Green Dim Cyan", "rows=", "fresh=", "moment=1 🎚 A shown",
             "page=0"});
        row("waiting first, ok as a string", {R"({"ok":"true","next":%3})"},
            {"title=⏳ Waiting for Serato…", play, dim, "rows=", "moment=0 🎚 All shown"});
        row("a button while waiting renders", {R"({"ok":false})", "toggleProven"},
            {"title=⏳ Waiting for Serato…", "rows=No proven sequence for this track", "tints=Green Dim Dim Dim Dim"});

        // Only a change of track resets the page; a document without a path is a change to "".
        row("same track keeps the page", {"{$,\"next\":%13}", "variation", R"({"ok":false})", "{$,\"next\":%13}"},
            {"page=1", "rows=T7|T8|T9|T10|T11|T12",
             "ranks=7/RankGray|8/RankGray|9/RankGray|10/RankGray|11/RankGray|12/RankGray"});
        row("new track resets it", {"{$,\"next\":%13}", "variation", R"({"ok":true,"now":{"path":"/b"},"next":%13})"},
            {"page=0", "rows=T1|T2|T3|T4|T5|T6"});
        row("no path resets it", {"{$,\"next\":%13}", "variation", R"({"ok":true,"now":{"path":12},"next":%13})"},
            {"page=0"});

        // Moments: a moment equal to the new count stays, one above it goes back to all; an empty list hides
        // the button, an absent one changes nothing; entries without both strings are dropped.
        const QStringList three{kCats3, "cycleMoment", "cycleMoment", "cycleMoment"};
        row("three moments", three, {"moment=3 🎚 C shown", "tints=Dim Dim Green Dim Dim", "page=0"});
        row("three again", three + QStringList{kCats3}, {"moment=3 🎚 C shown"});
        row("two", three + QStringList{R"({$,"cats":[{"id":"x","label":"X"},{"id":"y","label":"Y"}]})"},
            {"moment=0 🎚 All shown", dim});
        row("none", three + QStringList{R"({$,"cats":[]})"}, {"moment=0 🎚 All hidden"});
        row("absent", three + QStringList{R"({$,"cats":7})"}, {"moment=3 🎚 C shown"});
        row("incomplete",
            {R"({$,"cats":[{"id":"x"},{"id":"y","label":"Y"},{"label":"Z"},{"id":"w","label":7},{"id":"v","label":"V"}]})",
             "cycleMoment", "cycleMoment"},
            {"moment=2 🎚 V shown"});
        row("cycle back to all", three + QStringList{"cycleMoment"}, {"moment=0 🎚 All shown", dim});
        row("lists of the wrong shape",
            {R"({$,"next":[{"title":"A"},"stray"],"fresh":{"title":"F"},"bangers":[null]})"}, {"rows=—", "fresh="});

        // Pages of six: the top row on show is lit; a page past the end wraps, yet the other-page button
        // shows the page the render began with until the next render; an empty list never wraps.
        row("eight, page 1", {"{$,\"next\":%8}", "variation"},
            {"rows=T7|T8", "ranks=7/RankGray|8/RankGray", "lit=1|0", "detail=7A  ·  120  ·  key / BPM//m/T7.mp3",
             "tints=Dim Green Dim Dim Dim"});
        row("thirteen wrap", {"{$,\"next\":%13}", "variation", "variation", "variation"},
            {"rows=T1|T2|T3|T4|T5|T6", "page=0", "tints=Dim Green Dim Dim Dim"});
        row("next render", {"{$,\"next\":%6}", "variation", "toggleLock", "toggleLock"},
            {"page=0", dim, "lit=1|0|0|0|0|0"});
        row("empty never wraps", {"{$}", "variation", "variation"},
            {"page=2", "rows=—", "tints=Dim Green Dim Dim Dim"});

        // Headers, and the single row of an empty list (also the bangers'): no rank, no detail, no path.
        row("rescue beats frozen", {"{$,\"next\":%3}", "toggleLock", "togglePanic", "toggleProven"},
            {"header=🆘 FLOOR RESCUE · bangers", "tints=Green Dim Dim Red Cyan",
             "rows=No proven sequence for this track", "ranks=/-", "detail=/", "lit=0"});
        row("proven only",
            {R"({$,"next":[{"title":"A"},{"title":"B","proven":1},{"title":"C","proven":"2"},{"title":"D","proven":3}]})",
             "toggleProven"},
            {"rows=B|D", "ranks=1/RankGray|2/RankGray", "tints=Green Dim Dim Dim Dim"});
        row("rescue from page 2",
            {R"({$,"next":%13,"bangers":%B8})", "variation", "variation", "togglePanic", "variation"},
            {"rows=B7|B8", "ranks=🆘/Red|🆘/Red", "page=1"});

        // The moment filter: requests pass every moment, a pick without "cat" only as one; the bangers ignore
        // it, the fresh rows follow it in every mode.
        row("moment with requests",
            {R"({$,"cats":[{"id":"peak","label":"Peak"}],"next":[{"title":"A","cat":"peak"},{"title":"R1","prep":true},{"title":"B"},{"title":"R2","prep":true,"cat":"x"},{"title":"C","prep":"true"}]})",
             "cycleMoment"},
            {"rows=A|R1|R2", "ranks=1/RankGray|🎁/Gold|🎁/Gold"});
        const QString fresh =
            R"({$,"cats":[{"id":"warm","label":"Warm"},{"id":"peak","label":"Peak"}],"bangers":[{"title":"B1","proven":9}],
            "fresh":[{"title":"F1","key":"2A","bpm":118,"cat":"warm","path":"/f/1.mp3"},
                     {"title":"F2","key":"","bpm":128,"cat":"peak","reason":"new this week","src":"promo","proven":4,"harmonic":true,"fresh":"never"},
                     {"title":"F3","cat":"peak","path":"/f/3.mp3"}]})";
        row("fresh rows", {fresh},
            {"fresh=✨ F1/2A  ·  118  ·  fits//f/1.mp3|✨ F2/—  ·  128  ·  new this week  ·  promo/"});
        row("fresh rows in rescue", {fresh, "togglePanic", "cycleMoment", "cycleMoment"},
            {"fresh=✨ F2/—  ·  128  ·  new this week  ·  promo/|✨ F3/—  ·  0  ·  fits//f/3.mp3", "rows=B1",
             "ranks=🆘/Red"});

        // One pick row: its reason, badge and source, and its rank slot.
        const auto pickRow = [&row](const char* name, const char* keys, const char* detail,
                                    const char* ranks = "1/RankGray", const char* lang = "en", bool panic = false) {
            QStringList steps{pick(keys)};
            if (panic)
                steps << "togglePanic";
            row(name, steps,
                {QStringLiteral("detail=4B  ·  126  ·  %1/").arg(detail), QStringLiteral("ranks=") + ranks}, lang);
        };
        pickRow("request", R"("prep":true,"proven":3)", "request", "🎁/Gold");
        pickRow("request fits now", R"("prep":true,"fitnow":true,"proven":3)", "request · fits now!", "🎁/Green");
        pickRow("request in rescue", R"("prep":true,"proven":3)", "banger 3×", "🎁/Gold", "en", true);
        pickRow("five parts", R"("proven":2,"harmonic":true,"fresh":"rested","rest":400,"src":"crate")",
                "played after 2× 🎵  ·  🌱 rested 1y  ·  crate");
        pickRow("rest 359", R"("fresh":"rested_long","rest":359)", "key / BPM  ·  🌱 rested 11mo");
        pickRow("rest 360", R"("fresh":"rested","rest":360)", "key / BPM  ·  🌱 rested 1y");
        pickRow("rested, no age", R"("fresh":"rested")", "key / BPM  ·  🌱 rested");
        pickRow("overplayed", R"("fresh":"overplayed","rest":400)", "key / BPM  ·  🔁 every gig");
        pickRow("unknown freshness", R"("fresh":"unknown","rest":40,"src":"")", "key / BPM");
        pickRow("he proven, months", R"("proven":4,"fresh":"rested","rest":60)", "רצף 4×  ·  🌱 נח 2 ח׳", "1/RankGray",
                "he");
        pickRow("he banger, years", R"("proven":5,"fresh":"rested_long","rest":800)", "באנגר 5×  ·  🌱 נח 2 שנ׳",
                "🆘/Red", "he", true);
        row("strict pick keys",
            {R"({$,"next":[{"key":7,"bpm":"122","proven":"2","src":false,"prep":1,"title":null},{"key":"","bpm":127.5,"prep":true,"harmonic":true}]})"},
            {"rows=—|—", "detail=—  ·  0  ·  key / BPM/", "ranks=1/RankGray|🎁/Gold"});
    }
    void view() {
        QFETCH(QString, lang);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, expected);
        TestTree tree;
        tree.install(lang);
        AppDelegate d;
        for (const QString& step : steps)
            play(d, step);
        for (const QString& line : expected) {
            const QString name = line.section(u'=', 0, 0);
            QCOMPARE(name + u'=' + part(d, name), line);
        }
    }
    void placement_data() {
        QTest::addColumn<ScreenLayout>("screens");
        QTest::addColumn<std::optional<QString>>("text"); // the position file's, none when unreadable
        QTest::addColumn<QPoint>("topLeft");              // (-1, -1): none
        // A primary screen of 2560 × 1440 whose top 25 points are a menu bar; with or without one to its left.
        const ScreenLayout one{QRect(0, 0, 2560, 1440), QRect(0, 25, 2560, 1415), {QRect(0, 25, 2560, 1415)}, true};
        ScreenLayout two = one;
        two.available.append(QRect(-1280, 0, 1280, 1024));
        // Qt's origin at the left screen's corner, the primary starting at x 1280.
        const ScreenLayout right{QRect(1280, 0, 1920, 1080),
                                 QRect(1280, 0, 1920, 1080),
                                 {QRect(0, 0, 1280, 1024), QRect(1280, 0, 1920, 1080)},
                                 true};
        const QPoint home(2560 - 360 - 16, 25 + 16);
        const auto at = [](qreal x, qreal y) { return QPoint(qRound(x), qRound(1440 - y - 580)); };
        const auto row = [](const char* name, const ScreenLayout& s, std::optional<QString> text, QPoint p) {
            QTest::newRow(name) << s << text << p;
        };
        row("saved on screen", one, "1184 512", at(1184, 512));
        row("line end", one, "1184 512\n", home);
        row("extra spaces", one, "  1184   512 ", at(1184, 512));
        row("fractions", one, "100.5 200.25", at(100.5, 200.25));
        row("not a number", one, "12a 512", home);
        // At least 220 × 120 points on one screen's free area; the menu bar does not count.
        row("220 wide", one, "2340 500", at(2340, 500));
        row("219 wide", one, "2341 500", home);
        row("119 under the menu bar", one, "500 1296", home);
        row("left screen", two, "-1200 300", at(-1200, 300));
        row("primary not at Qt's origin", right, "-1200 300", QPoint(80, 1080 - 300 - 580));
        row("default beside another screen", right, std::nullopt, QPoint(1280 + 1920 - 360 - 16, 16));
        row("no primary screen", ScreenLayout{}, "10 10", QPoint(-1, -1));
    }
    void placement() {
        QFETCH(ScreenLayout, screens);
        QFETCH(std::optional<QString>, text);
        QFETCH(QPoint, topLeft);
        const QSizeF panel(360, 580);
        const std::optional<QPoint> placed = initialTopLeft(text, panel, screens);
        QCOMPARE(placed.value_or(QPoint(-1, -1)), topLeft);
        // Saved from where it was placed, it comes back there: x and y truncate toward zero.
        if (placed)
            QCOMPARE(initialTopLeft(formatPosition(originOf(*placed, panel, screens.primary)), panel, screens), placed);
        QCOMPARE(formatPosition(QPointF(-100.7, 100.7)), QStringLiteral("-100 100"));
    }
    void everyLanguageHasEveryText() {
        // A key missing or mistyped in one language would show English there without a word; every waiting
        // text has the place a feed's source name goes.
        const QStringList keys = textTableSTR().keys();
        for (const QString& lang : supportedLanguages()) {
            const bool own = textTableTR().contains(lang); // else English or Hebrew, kept by key
            QVERIFY2(!own || textTableTR()[lang].size() == keys.size(), qPrintable(lang));
            for (const QString& key : keys)
                QVERIFY2(!(own ? textTableTR()[lang].value(key) : textTableSTR()[key].value(lang)).isEmpty(),
                         qPrintable(lang + u' ' + key));
            QVERIFY(textFor(lang, QStringLiteral("waiting")).contains(QLatin1String("Serato")));
        }
    }
    void waylandSessionRunsOnXcb() {
        // The environment → the platform forced on Qt, if any.
        for (const auto& [variables, forced] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"XDG_SESSION_TYPE=wayland DISPLAY=:0", "xcb"},
                 {"WAYLAND_DISPLAY=wayland-0 DISPLAY=:0", "xcb"},
                 {"WAYLAND_DISPLAY=wayland-0", ""}, // no X server to run on
                 {"XDG_SESSION_TYPE=wayland DISPLAY=:0 QT_QPA_PLATFORM=wayland", ""},
                 {"XDG_SESSION_TYPE=x11 DISPLAY=:0", ""}}) {
            QProcessEnvironment env;
            for (const QString& variable : QString::fromLatin1(variables).split(u' '))
                env.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
            QCOMPARE(forcedPlatform(env).value_or(QByteArray()), QByteArray(forced));
        }
    }
};

QTEST_MAIN(TestPanelView)
#include "tst_panel_view.moc"
