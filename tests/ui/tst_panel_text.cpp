// The panel's texts as its widgets lay them out and paint them, headless, at twice the pixel density of
// a plain screen: every text of the seven languages fits its frame or ends in an ellipsis and no frame
// runs under another; Hebrew runs right to left along the right edge, feed fields in their own direction;
// the mode buttons look different on and off whatever colour their glyph takes; the brand image is
// sharp, and a missing one passes without a word.

#include "config/Texts.h"
#include "feed/Labels.h"
#include "support/Support.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QTest>
#include <QTextLayout>

using namespace cw;
using namespace cw::test;
using namespace Qt::StringLiterals;

namespace {

// One line as a label or a button lays it out: the text shown, where its ink goes, the x of its first
// and last character, and the frame it must stay in.
struct Line {
    QString shown;
    QRectF ink;
    qreal start = 0, end = 0;
    QRectF frame;
};

Line lineOf(QWidget* widget, const QString& text) {
    QTextLayout layout;
    QRectF frame = widget->rect();
    if (auto* label = qobject_cast<TextLabel*>(widget)) {
        label->setText(text);
        label->layOut(layout);
    } else if (auto* button = qobject_cast<TintButton*>(widget)) {
        button->setText(text);
        button->layOut(layout);
        frame = button->textArea();
    }
    const QTextLine line = layout.lineAt(0);
    const int last = int(layout.text().size());
    return {layout.text(), line.naturalTextRect(), line.cursorToX(0), line.cursorToX(last), frame};
}

QString key(const char* name) {
    return L(QLatin1String(name));
}

} // namespace

class TestPanelText : public QObject {
    Q_OBJECT
private slots:
    void everyTextFits();
    void directions_data();
    void directions();
    void buttonsShowTheirState();
    void brandImage();
};

void TestPanelText::everyTextFits() {
    for (const QString& lang : supportedLanguages()) {
        TestTree tree;
        tree.install(lang);
        Panel panel(initialView());
        DragRow* row = panel.rows.first();
        QStringList details;
        for (const char* reason : {"why_keybpm", "why_request", "why_req_fit", "why_fits"})
            for (const QString& badge : {key("fr_never"), freshBadge(u"rested"_s, 300), key("fr_over")})
                details << u"10A  ·  128  ·  "_s + key(reason) + u"  ·  "_s + badge + u"  ·  history"_s;
        details << u"8A  ·  124  ·  "_s + Lp(u"proven"_s, 14) + u" 🎵  ·  "_s + key("fr_over");
        const QList<std::pair<QWidget*, QStringList>> places = {
            {panel.nowTitle, {key("loading"), key("waiting")}},
            {panel.nowMeta, {key("waiting_sub"), u"10A · 128 BPM · 23 "_s + key("played")}},
            {panel.window()->findChild<TextLabel*>(u"nowHeading"_s), {key("now_playing")}},
            {panel.nxLab, {key("play_next"), key("frozen"), key("rescue")}},
            {panel.window()->findChild<TextLabel*>(u"freshHeader"_s), {key("fresh_hdr")}},
            {panel.rutLab, {key("rut_fresh") + u" · 100%"_s, key("rut_mixed") + u" · 44%"_s, key("rut_stuck")}},
            {row->title, {key("no_proven")}},
            {row->meta, details},
            {panel.btnMoment, {key("btn_all"), u"🎚 Peak time bangers and more"_s}},
            {panel.btnVar, {key("btn_other")}},
            {panel.btnProven, {key("btn_proven")}}};
        for (const auto& [widget, texts] : places) {
            for (const QString& text : texts) {
                const Line line = lineOf(widget, text);
                const QString where = lang + u' ' + text + u" → "_s + line.shown;
                QVERIFY2(line.shown == text || line.shown.contains(u'…'), qPrintable(where));
                QVERIFY2(line.frame.adjusted(-1, 0, 1, 0).contains(line.ink), qPrintable(where)); // a glyph's overhang
            }
        }
        // No text's frame lies under another's, and a row's texts keep the same margin on either side.
        QList<QRect> frames;
        for (TextLabel* label : panel.window()->findChildren<TextLabel*>())
            if (label->isVisibleTo(panel.window()))
                frames << QRect(label->mapTo(panel.window(), QPoint()), label->size());
        for (TintButton* button : panel.window()->findChildren<TintButton*>())
            if (button->isVisibleTo(panel.window()))
                frames << button->textArea().translated(button->mapTo(panel.window(), QPoint()));
        for (qsizetype i = 0; i < frames.size(); ++i)
            for (qsizetype j = i + 1; j < frames.size(); ++j) {
                const QRect common = frames[i].intersected(frames[j]); // the layout's own one-point seams aside
                QVERIFY2(common.width() <= 1 || common.height() <= 1, qPrintable(lang));
            }
        QCOMPARE(row->width() - row->meta->geometry().right() - 1, row->rank->x());
    }
}

void TestPanelText::directions_data() {
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("layout"); // the side the ink keeps to (full: elided), then the reading direction
    const QString longHebrew = u"⏭ "_s + u"נגן הבא · גרור לדק "_s.repeated(4);
    const auto row = [](const char* lang, const char* widget, const QString& text, const char* layout) {
        QTest::newRow(qPrintable(QStringLiteral("%1 %2 %3").arg(lang, widget, text)))
            << lang << widget << text << layout;
    };
    row("en", "header", u"⏭ PLAY NEXT · drag to deck"_s, "left ltr");
    row("he", "header", u"⏭ נגן הבא · גרור לדק"_s, "right rtl");
    row("he", "header", longHebrew, "full rtl"); // elided: the ellipsis at the left end
    row("he", "rut", u"יש חזרות · 31%"_s, "right rtl");
    row("en", "rut", u"some repeats · 31%"_s, "right ltr");
    row("he", "title", u"Strobe (Original Mix)"_s, "right ltr");
    row("en", "title", u"ילד של אבא"_s, "left rtl");
    row("de", "now", u"ילד של אבא – Live"_s, "left rtl");
    row("he", "detail", u"8A  ·  124  ·  רצף 4×"_s, "right rtl");
    row("he", "brand", u"Warden"_s, "left ltr");
    row("he", "button", u"✓ רצף"_s, "centre rtl");
}

void TestPanelText::directions() {
    QFETCH(QString, lang);
    QFETCH(QString, widget);
    QFETCH(QString, text);
    QFETCH(QString, layout);
    TestTree tree;
    tree.install(lang);
    Panel panel(initialView());
    const QHash<QString, QWidget*> widgets{{"header", panel.nxLab},
                                           {"rut", panel.rutLab},
                                           {"title", panel.rows.first()->title},
                                           {"detail", panel.rows.first()->meta},
                                           {"now", panel.nowTitle},
                                           {"brand", panel.window()->findChild<TextLabel*>(u"brand"_s)},
                                           {"button", panel.btnProven}};
    const Line line = lineOf(widgets.value(widget), text);
    const QString side = line.shown != text                          ? u"full"_s
                         : line.ink.left() - line.frame.left() < 1   ? u"left"_s
                         : line.frame.right() - line.ink.right() < 1 ? u"right"_s
                                                                     : u"centre"_s;
    QCOMPARE(side + (line.start < line.end ? u" ltr"_s : u" rtl"_s), layout);
    QVERIFY(line.shown == text || line.shown.endsWith(u'…'));
}

void TestPanelText::buttonsShowTheirState() {
    TestTree tree;
    tree.install();
    Panel panel(initialView());
    PanelView lit = initialView();
    lit.proven = lit.variation = lit.moment = Tone::Green;
    lit.panic = Tone::Red;
    lit.lock = Tone::Cyan;
    for (TintButton* button : {panel.btnProven, panel.btnVar, panel.btnMoment, panel.btnPanic, panel.btnLock}) {
        panel.display(initialView());
        const QImage off = button->grab().toImage();
        panel.display(lit);
        const QImage on = button->grab().toImage();
        // Only pixels beside the title count: a colour glyph (🆘) ignores the tint.
        QTextLayout layout;
        button->layOut(layout);
        const QRectF title = layout.lineAt(0).naturalTextRect();
        const qreal density = off.devicePixelRatio();
        int differing = 0;
        for (int y = 0; y < off.height(); ++y)
            for (int x = 0; x < off.width(); ++x)
                differing += !title.contains(QPointF(x, y) / density) && off.pixel(x, y) != on.pixel(x, y);
        QVERIFY2(differing > off.width() * off.height() / 4, qPrintable(button->accessibleName()));
        // ❄️ asks for its colour presentation, and gets it even where another font has a grey snowflake.
        if (button == panel.btnLock) {
            int coloured = 0;
            for (int y = 0; y < off.height(); ++y)
                for (int x = 0; x < off.width(); ++x)
                    coloured += QColor(off.pixel(x, y)).hsvSaturationF() > 0.3 && qAlpha(off.pixel(x, y)) > 128;
            QVERIFY(coloured > 20);
        }
    }
}

void TestPanelText::brandImage() {
    TestTree tree;
    tree.install();
    {
        // Without brand.png: no image, and nothing on standard error.
        QTest::failOnWarning(QRegularExpression(u"."_s));
        Panel panel(initialView());
        QVERIFY(!panel.window()->findChild<QLabel*>(u"brandImage"_s));
    }
    QVERIFY(QFile::copy(QStringLiteral(CW_SOURCE_DIR "/resources/app/brand.png"), tree.appDir() + u"/brand.png"_s));
    Panel panel(initialView());
    const QPixmap image = panel.window()->findChild<QLabel*>(u"brandImage"_s)->pixmap();
    // 22 points at the screen's density: every device pixel its own.
    QCOMPARE(image.devicePixelRatio(), 2.0);
    QCOMPARE(image.size(), QSize(44, 44));
}

int main(int argc, char** argv) {
    // As on a high-density screen: two device pixels to the point.
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestPanelText test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_panel_text.moc"
