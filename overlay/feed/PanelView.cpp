#include "feed/PanelView.h"

#include "config/Texts.h"

#include <optional>

namespace cw {

namespace {

const QString kSep = QStringLiteral("  ·  ");
const QLatin1StringView kTitle("title"), kKey("key"), kBpm("bpm"), kProven("proven"), kHarmonic("harmonic"),
    kPrep("prep"), kFitNow("fitnow"), kSrc("src"), kFresh("fresh"), kRest("rest"), kPath("path"), kCat("cat"),
    kReason("reason");

QString keyText(const QString& key) {
    return key.isEmpty() ? QStringLiteral("—") : key;
}

// "key  ·  bpm  ·  reason", then "  ·  src" when the pick names a source. The badge, when there is one,
// goes between reason and source.
QString detailLine(const Pick& pick, const QString& reason, const QString& badge = QString()) {
    QString detail =
        keyText(stringOr(pick, kKey, QString())) + kSep + QString::number(integerOr(pick, kBpm, 0)) + kSep + reason;
    if (!badge.isEmpty())
        detail += kSep + badge;
    if (const QString src = stringOr(pick, kSrc, QString()); !src.isEmpty())
        detail += kSep + src;
    return detail;
}

QString reasonFor(const Pick& pick, bool panic) {
    const qint64 proven = integerOr(pick, kProven, 0);
    const bool prep = boolOr(pick, kPrep, false);
    QString reason;
    if (panic)
        reason = Lp(QStringLiteral("banger"), proven);
    else if (prep && boolOr(pick, kFitNow, false))
        reason = L(QStringLiteral("why_req_fit"));
    else if (prep)
        reason = L(QStringLiteral("why_request"));
    else if (proven <= 0)
        reason = L(QStringLiteral("why_keybpm"));
    else
        reason = Lp(QStringLiteral("proven"), proven);
    if (boolOr(pick, kHarmonic, false))
        reason += QStringLiteral(" 🎵");
    return reason;
}

// The row of pick number `rank` (from 1) of the list on show.
RowView pickRow(const Pick& pick, qint64 rank, bool panic) {
    RowView row{true,
                QString::number(rank),
                Tone::RankGray,
                stringOr(pick, kTitle, QStringLiteral("—")),
                detailLine(pick, reasonFor(pick, panic),
                           freshBadge(stringOr(pick, kFresh, QString()), readInteger(pick, kRest))),
                stringOr(pick, kPath, QString())};
    if (boolOr(pick, kPrep, false)) {
        row.rank = QStringLiteral("🎁");
        row.rankTone = boolOr(pick, kFitNow, false) ? Tone::Green : Tone::Gold;
    } else if (panic) {
        row.rank = QStringLiteral("🆘");
        row.rankTone = Tone::Red;
    }
    return row;
}

Tone lit(bool on, Tone onTone) {
    return on ? onTone : Tone::Dim;
}

// The waiting text names the DJ program the feed says it reads, in place of the table's "Serato".
QString waitingTitle(const FeedState& feed) {
    const QString text = L(QStringLiteral("waiting"));
    return feed.sourceName.isEmpty() ? text : QString(text).replace(QStringLiteral("Serato"), feed.sourceName);
}

QString nowMetaOf(const FeedState& feed) {
    switch (feed.track) {
    case FeedState::Track::Loading:
        return QString();
    case FeedState::Track::Waiting:
        return L(QStringLiteral("waiting_sub"));
    case FeedState::Track::Playing:
        break;
    }
    return keyText(feed.key) + QStringLiteral(" · ") + QString::number(feed.bpm) + QStringLiteral(" BPM · ") +
           QString::number(feed.played) + u' ' + L(QStringLiteral("played"));
}

// What every view takes from the feed alone: the now-playing card, the rut meter and whether the moment
// button shows (hidden only once a document brought no moments).
PanelView labelsOf(const FeedState& feed, PanelView view) {
    view.nowTitle = feed.track == FeedState::Track::Playing   ? feed.title
                    : feed.track == FeedState::Track::Waiting ? waitingTitle(feed)
                                                              : L(QStringLiteral("loading"));
    view.nowMeta = nowMetaOf(feed);
    view.rut = feed.rut;
    view.momentShown = !feed.catsCarried || !feed.cats.isEmpty();
    return view;
}

PanelView withRowsHidden(PanelView view) {
    view.rows.fill(RowView());
    view.freshRows.fill(RowView());
    return view;
}

// Which picks of a list are on show: those of the selected moment, if any (requests, "prep", pass every
// moment), and when asked only proven ones.
struct PickFilter {
    std::optional<QString> moment; // the selected moment's id
    bool provenOnly = false;
    bool keeps(const Pick& pick) const {
        // Millions of empty picks fit in a body: they are passed over without a look-up.
        if (pick.isEmpty())
            return !provenOnly && !moment;
        if (provenOnly && integerOr(pick, kProven, 0) <= 0)
            return false;
        return !moment || readString(pick, kCat) == *moment || boolOr(pick, kPrep, false);
    }
};

// No moment (or none that exists) selected: every moment's picks.
std::optional<QString> momentId(const QList<Moment>& cats, qint64 moment) {
    if (moment <= 0 || moment - 1 >= cats.size())
        return std::nullopt;
    return cats.at(moment - 1).id;
}

// The picks of a list that are on show, for one page: where the first is in the filtered list (from 0),
// and the picks from there.
struct ShownPicks {
    qint64 page = 0;
    qint64 start = 0;
    PickList picks;
};

// The page of the picks that pass keep: the page asked for, or the first when it is past the end (or
// below 0); none when no pick passes. The walk stops once that page is full, so a list of millions costs
// no more than its first pages unless few of its picks pass.
ShownPicks shownPage(const PickList& list, qint64 page, const PickFilter& keep) {
    // Past the end of the whole list is past the end of any part of it; below that, page × 6 cannot overflow.
    const bool beyond = page < 0 || page > list.size() / kPageSize;
    const qint64 start = beyond ? 0 : page * kPageSize;
    ShownPicks asked{page, start, {}}, first{0, 0, {}};
    qint64 kept = 0;
    for (qsizetype i = 0; i < list.size() && kept < start + kPageSize; ++i) {
        if (!keep.keeps(list.at(i)))
            continue;
        if (kept < kPageSize)
            first.picks.append(list.at(i));
        if (!beyond && kept >= start)
            asked.picks.append(list.at(i));
        ++kept;
    }
    return asked.picks.isEmpty() ? first : asked;
}

} // namespace

std::array<RowView, 2> fillFresh(const FeedState& feed, const Modes& modes) {
    const PickFilter inMoment{momentId(feed.cats, modes.moment)};
    std::array<RowView, 2> rows;
    std::size_t filled = 0;
    for (qsizetype i = 0; filled < rows.size() && i < feed.fullFresh.size(); ++i) {
        const Pick& pick = feed.fullFresh.at(i);
        if (!inMoment.keeps(pick))
            continue;
        rows[filled++] = RowView{true,
                                 QStringLiteral("✨"),
                                 std::nullopt,
                                 stringOr(pick, kTitle, QStringLiteral("—")),
                                 detailLine(pick, stringOr(pick, kReason, L(QStringLiteral("why_fits")))),
                                 stringOr(pick, kPath, QString())};
    }
    return rows;
}

PanelView initialView() {
    return waitingView(FeedState(), panelView(FeedState(), Modes()));
}

PanelView panelView(const FeedState& feed, const Modes& modes) {
    PanelView view = labelsOf(feed, PanelView());
    view.freshRows = fillFresh(feed, modes);

    // Lists are implicitly shared: taking the bangers or "next" copies nothing.
    const PickList& list = modes.panic ? feed.fullBangers : feed.fullNext;
    PickFilter keep;
    if (modes.panic) {
        view.header = L(QStringLiteral("rescue"));
    } else {
        keep = PickFilter{momentId(feed.cats, modes.moment), modes.provenOnly};
        view.header = L(modes.locked ? QStringLiteral("frozen") : QStringLiteral("play_next"));
    }

    view.proven = lit(modes.provenOnly, Tone::Green);
    view.variation = lit(modes.page > 0, Tone::Green);
    view.moment = lit(modes.moment != 0, Tone::Green);
    view.panic = lit(modes.panic, Tone::Red);
    view.lock = lit(modes.locked, Tone::Cyan);
    const bool named = modes.moment > 0 && modes.moment <= feed.cats.size();
    view.momentTitle =
        named ? QStringLiteral("🎚 ") + feed.cats.at(modes.moment - 1).label : L(QStringLiteral("btn_all"));
    // The title without its slider symbol: "All" is the word after it in every language.
    view.momentSpoken = L(QStringLiteral("ax_moment")) + u' ' + view.momentTitle.section(u' ', 1);

    const ShownPicks shown = shownPage(list, modes.page, keep);
    view.page = modes.page;
    if (shown.picks.isEmpty()) {
        // One row says there is nothing; the page stays as it is.
        const QString title = modes.provenOnly ? L(QStringLiteral("no_proven")) : QStringLiteral("—");
        view.rows[0] = RowView{true, QString(), std::nullopt, title, QString(), QString()};
        return view;
    }
    view.page = shown.page;
    for (qint64 i = 0; i < shown.picks.size(); ++i) {
        view.rows[i] = pickRow(shown.picks.at(i), shown.start + i + 1, modes.panic);
        // The top row on show is highlighted on every page.
        view.rows[i].highlighted = i == 0;
    }
    return view;
}

PanelView waitingView(const FeedState& feed, const PanelView& shown) {
    return labelsOf(feed, withRowsHidden(shown));
}

} // namespace cw
