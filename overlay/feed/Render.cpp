// Filling the panel from the controller's state: the header over the pick rows, the mode buttons, the
// six pick rows and the two fresh rows. Called after every applied document, by every mode action and
// by the lock. Main thread only. Its one write to state is wrapping a page that ran past the list.

#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "config/Texts.h"
#include "feed/Labels.h"
#include "ui/DragRow.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

namespace cw {

namespace {

constexpr qint64 kPageSize = 6;
const QString kSep = QStringLiteral("  ·  ");
const QLatin1StringView kTitle("title"), kKey("key"), kBpm("bpm"), kProven("proven"), kHarmonic("harmonic"),
    kPrep("prep"), kFitNow("fitnow"), kSrc("src"), kFresh("fresh"), kRest("rest"), kPath("path"), kCat("cat"),
    kReason("reason");

QString keyText(const Pick& pick) {
    const QString key = stringOr(pick, kKey, QString());
    return key.isEmpty() ? QStringLiteral("—") : key;
}

void tint(TintButton* button, bool on, const QColor& onColor) {
    if (button)
        button->setTint(on ? onColor : settings().DIM);
}

void fillPickRow(DragRow* row, const Pick& pick, qint64 rankNumber, bool panic) {
    const Settings& s = settings();
    const qint64 proven = integerOr(pick, kProven, 0);
    const bool prep = boolOr(pick, kPrep, false);
    const bool fitNow = boolOr(pick, kFitNow, false);

    QString reason;
    if (panic)
        reason = Lp(QStringLiteral("banger"), proven);
    else if (prep && fitNow)
        reason = L(QStringLiteral("why_req_fit"));
    else if (prep)
        reason = L(QStringLiteral("why_request"));
    else if (proven <= 0)
        reason = L(QStringLiteral("why_keybpm"));
    else
        reason = Lp(QStringLiteral("proven"), proven);
    if (boolOr(pick, kHarmonic, false))
        reason += QStringLiteral(" 🎵");

    QString detail = keyText(pick) + kSep + QString::number(integerOr(pick, kBpm, 0)) + kSep + reason;
    const QString badge = freshBadge(stringOr(pick, kFresh, QString()), readInteger(pick, kRest));
    if (!badge.isEmpty())
        detail += kSep + badge;
    const QString src = stringOr(pick, kSrc, QString());
    if (!src.isEmpty())
        detail += kSep + src;

    row->set(rankNumber, stringOr(pick, kTitle, QStringLiteral("—")), detail, stringOr(pick, kPath, QString()));

    if (prep) {
        row->rank->setText(QStringLiteral("🎁"));
        row->rank->setTextColor(fitNow ? s.GREEN : s.GOLD);
    } else if (panic) {
        row->rank->setText(QStringLiteral("🆘"));
        row->rank->setTextColor(s.RED);
    } else {
        row->rank->setTextColor(s.RANKGRAY);
    }
}

} // namespace

void AppDelegate::render() {
    const Settings& s = settings();
    fillFresh();

    // Lists are implicitly shared: taking the bangers or an unfiltered "next" copies nothing.
    PickList list;
    if (panic) {
        list = fullBangers;
        nxLab->setText(L(QStringLiteral("rescue")));
    } else {
        list = momentFilter(fullNext);
        if (provenOnly)
            list.removeIf([](const Pick& pick) { return integerOr(pick, kProven, 0) <= 0; });
        nxLab->setText(L(locked ? QStringLiteral("frozen") : QStringLiteral("play_next")));
    }

    // The buttons show the modes as they stood when this render began; a page wrapped below turns
    // btnVar back to DIM only at the next render.
    tint(btnProven, provenOnly, s.GREEN);
    tint(btnVar, page > 0, s.GREEN);
    if (btnMoment) {
        const bool named = moment > 0 && moment <= cats.size();
        btnMoment->setText(named ? QStringLiteral("🎚 ") + cats.at(moment - 1).label : L(QStringLiteral("btn_all")));
    }
    tint(btnMoment, moment != 0, s.GREEN);
    tint(btnPanic, panic, s.RED);
    tint(btnLock, locked, s.CYAN);

    const qint64 count = list.size();
    if (count == 0) {
        if (!rows.isEmpty()) {
            const QString title = provenOnly ? L(QStringLiteral("no_proven")) : QStringLiteral("—");
            rows.at(0)->set(0, title, QString(), QString());
            rows.at(0)->highlight(false);
        }
        for (qsizetype i = 1; i < rows.size(); ++i) {
            rows.at(i)->hide();
            rows.at(i)->highlight(false);
        }
        return;
    }

    // page × 6 ≥ count, compared without the multiplication so a page pressed up without end cannot
    // overflow; a negative page is never set by any action and is treated as past the end.
    const qint64 pages = (count + kPageSize - 1) / kPageSize;
    if (page < 0 || page >= pages)
        page = 0;
    const qint64 start = page * kPageSize;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        DragRow* row = rows.at(i);
        const qint64 idx = start + i;
        if (idx >= count) {
            row->hide();
            row->highlight(false);
            continue;
        }
        fillPickRow(row, list.at(idx), idx + 1, panic);
        row->highlight(i == 0);
    }
}

void AppDelegate::fillFresh() {
    const PickList list = momentFilter(fullFresh);
    for (qsizetype i = 0; i < freshRows.size(); ++i) {
        DragRow* row = freshRows.at(i);
        if (i >= list.size()) {
            row->hide();
            continue;
        }
        const Pick& pick = list.at(i);
        QString detail = keyText(pick) + kSep + QString::number(integerOr(pick, kBpm, 0)) + kSep +
                         stringOr(pick, kReason, L(QStringLiteral("why_fits")));
        const QString src = stringOr(pick, kSrc, QString());
        if (!src.isEmpty())
            detail += kSep + src;
        row->setFresh(stringOr(pick, kTitle, QStringLiteral("—")), detail, stringOr(pick, kPath, QString()));
    }
}

PickList AppDelegate::momentFilter(const PickList& list) const {
    if (moment <= 0 || moment - 1 >= cats.size())
        return list;
    const QString& id = cats.at(moment - 1).id;
    PickList kept;
    for (const Pick& pick : list) {
        if (readString(pick, kCat) == id || boolOr(pick, kPrep, false))
            kept.append(pick);
    }
    return kept;
}

} // namespace cw
