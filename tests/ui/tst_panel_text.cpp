// The panel's texts as its widgets lay them out and paint them, headless at two device pixels to the point:
// in each of the seven languages every text fits its frame or ends in an ellipsis, sits on its side (Hebrew
// on the right), reads in its direction (feed fields in their own), and no frame runs under another; mode
// buttons look different on and off whatever colour their glyph takes; the brand image is sharp or absent.

#include "config/Texts.h"
#include "feed/Labels.h"
#include "support/Support.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QRegularExpression>
#include <QTest>
#include <QTextLayout>

using namespace cw;
using namespace Qt::StringLiterals;

class TestPanelText : public QObject {
    Q_OBJECT
private slots:
    void everyTextFits() {
        const auto key = [](const char* name) { return L(QLatin1String(name)); };
        for (const QString& lang : supportedLanguages()) {
            test::TestTree tree;
            tree.install(lang);
            Panel panel(initialView());
            DragRow* row = panel.rows.first();
            QStringList details{u"8A  ·  124  ·  "_s + Lp(u"proven"_s, 14) + u" 🎵  ·  "_s + key("fr_over")};
            for (const char* reason : {"why_keybpm", "why_request", "why_req_fit", "why_fits"})
                for (const QString& badge : {key("fr_never"), freshBadge(u"rested"_s, 300), key("fr_over")})
                    details << u"10A  ·  128  ·  "_s + key(reason) + u"  ·  "_s + badge + u"  ·  history"_s;
            // Texts that read their own way on any panel: feed fields, and a name in one script; the hearts are
            // wider in the colour emoji font they ask for than the label's font says.
            const QStringList ownWay{u"Hands Up!"_s, u"ילד של אבא – Live"_s, u"Warden"_s,
                                     u"❤️ Love "_s.repeated(9)};
            const auto named = [&panel](const QString& name) { return panel.window()->findChild<TextLabel*>(name); };
            // Each widget with its texts and its side: natural (the language's leading side), or the literal
            // right, left or centre.
            const QList<std::tuple<QWidget*, QStringList, QString>> places = {
                {panel.nowTitle, QStringList{key("loading"), key("waiting")} + ownWay, "natural"},
                {panel.nowMeta, {key("waiting_sub"), u"10A · 128 BPM · 23 "_s + key("played")}, "natural"},
                {named(u"nowHeading"_s), {key("now_playing")}, "natural"},
                {panel.nxLab, {key("play_next"), key("frozen"), key("rescue")}, "natural"},
                {named(u"freshHeader"_s), {key("fresh_hdr")}, "natural"},
                {panel.rutLab, {key("rut_fresh") + u" · 100%"_s, key("rut_mixed") + u" · 44%"_s}, "right"},
                {named(u"brand"_s), {u"Warden"_s}, "left"},
                {row->title, QStringList{key("no_proven")} + ownWay, "natural"},
                {row->meta, details, "natural"},
                {panel.btnMoment,
                 {key("btn_all"), u"🎚 Peak time bangers and more"_s, u"🎚 Peak "_s.repeated(1 << 20)},
                 "centre"},
                {panel.btnVar, {key("btn_other")}, "centre"},
                {panel.btnProven, {key("btn_proven")}, "centre"}};
            const bool rtl = lang == u"he"_s;
            for (const auto& [widget, texts, side] : places) {
                for (const QString& text : texts) {
                    QTextLayout layout;
                    auto* button = qobject_cast<TintButton*>(widget);
                    auto* label = qobject_cast<TextLabel*>(widget);
                    button ? button->setText(text) : label->setText(text);
                    QElapsedTimer clock;
                    clock.start();
                    button ? button->layOut(layout) : label->layOut(layout);
                    // Only what can be seen is laid out: a text of megabytes took seconds.
                    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
                    const QTextLine line = layout.lineAt(0);
                    const QRectF ink = line.naturalTextRect(), frame = button ? button->textArea() : widget->rect();
                    const QString where = lang + u' ' + text.left(80) + u" → "_s + layout.text();
                    // Whole, or cut with an ellipsis; inside the frame but for a last glyph's overhang.
                    QVERIFY2(layout.text() == text || layout.text().contains(u'…'), qPrintable(where));
                    QVERIFY2(frame.adjusted(-1, 0, 1, 0).contains(ink), qPrintable(where));
                    QVERIFY2((line.cursorToX(0) > line.cursorToX(int(layout.text().size()))) ==
                                 (ownWay.contains(text) ? text.isRightToLeft() : rtl),
                             qPrintable(where));
                    const QString at = ink.left() - frame.left() < 1     ? u"left"_s
                                       : frame.right() - ink.right() < 1 ? u"right"_s
                                                                         : u"centre"_s;
                    if (layout.text() == text) // an elided line fills its frame
                        QVERIFY2(at == (side != u"natural"_s ? side : rtl ? u"right"_s : u"left"_s), qPrintable(where));
                }
            }
            // No text's frame lies under another's (the layout's one-point seams aside), and a row's texts keep
            // the rank's margin on their right.
            QList<QRect> frames;
            for (QWidget* widget : panel.window()->findChildren<QWidget*>()) {
                auto* button = qobject_cast<TintButton*>(widget);
                if ((button || qobject_cast<TextLabel*>(widget)) && widget->isVisibleTo(panel.window()))
                    frames << (button ? button->textArea() : widget->rect())
                                  .translated(widget->mapTo(panel.window(), QPoint()));
            }
            for (qsizetype i = 0; i < frames.size(); ++i)
                for (qsizetype j = i + 1; j < frames.size(); ++j)
                    QVERIFY(qMin((frames[i] & frames[j]).width(), (frames[i] & frames[j]).height()) <= 1);
            QCOMPARE(row->width() - row->meta->geometry().right() - 1, row->rank->x());
        }
    }
    void buttonsShowTheirState() {
        test::TestTree tree;
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
            int differing = 0, coloured = 0;
            for (int y = 0; y < off.height(); ++y) {
                for (int x = 0; x < off.width(); ++x) {
                    differing += !title.contains(QPointF(x, y) / 2) && off.pixel(x, y) != on.pixel(x, y);
                    coloured += qAlpha(off.pixel(x, y)) > 128 && QColor(off.pixel(x, y)).hsvSaturationF() > 0.3;
                }
            }
            QVERIFY2(differing > off.width() * off.height() / 4, qPrintable(button->accessibleName()));
            // ❄️ asks for its colour presentation and gets it, though another font has a grey snowflake.
            if (button == panel.btnLock)
                QVERIFY(coloured > 20);
        }
    }
    void brandImage() {
        test::TestTree tree;
        tree.install();
        QTest::failOnWarning(QRegularExpression(u"."_s));
        QVERIFY(!Panel(initialView()).window()->findChild<QLabel*>(u"brandImage"_s));
        QVERIFY(QFile::copy(QStringLiteral(CW_SOURCE_DIR "/resources/app/brand.png"), tree.appDir() + u"/brand.png"_s));
        // 22 points at the screen's density: every device pixel its own.
        const QPixmap image = Panel(initialView()).window()->findChild<QLabel*>(u"brandImage"_s)->pixmap();
        QCOMPARE(image.size(), QSize(44, 44));
        QCOMPARE(image.devicePixelRatio(), 2.0);
    }
};

int main(int argc, char** argv) {
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestPanelText test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_panel_text.moc"
