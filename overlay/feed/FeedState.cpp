#include "feed/FeedState.h"

#include "config/Texts.h"

namespace cw {

namespace {
const QLatin1StringView kRut("rut"), kOk("ok"), kNow("now"), kPath("path"), kTitle("title"), kKey("key"), kBpm("bpm"),
    kPlayed("played"), kCats("cats"), kId("id"), kLabel("label"), kNext("next"), kFresh("fresh"), kBangers("bangers"),
    kReason("reason"), kSrc("src"), kSource("source"), kName("name");

// The texts of a pick that the panel shows; its path, moment and freshness state are matched, not shown.
const QLatin1StringView kShownPickTexts[] = {kTitle, kKey, kReason, kSrc};

// Every list of picks as it is to be shown (displayText). A pick is copied only when it needs it, so
// the usual list, and the largest one a body can carry, passes through untouched.
PickList shownPicks(PickList picks) {
    for (qsizetype i = 0; i < picks.size(); ++i) {
        if (picks.at(i).isEmpty())
            continue;
        for (const QLatin1StringView key : kShownPickTexts) {
            const std::optional<QString> text = readString(picks.at(i), key);
            if (QString shown = text ? displayText(*text) : QString(); text && shown != *text)
                picks[i][key] = std::move(shown);
        }
    }
    return picks;
}

// The entries of "cats" that have an id and a label, in document order.
QList<Moment> momentsOf(const PickList& entries) {
    QList<Moment> moments;
    moments.reserve(entries.size());
    for (const QJsonObject& entry : entries) {
        std::optional<QString> id = readString(entry, kId);
        std::optional<QString> label = readString(entry, kLabel);
        if (id && label)
            moments.append(Moment{std::move(*id), displayText(std::move(*label))});
    }
    return moments;
}
} // namespace

void Modes::toggleProven() {
    provenOnly = !provenOnly;
    page = 0;
}

void Modes::variation() {
    // No upper bound: the render wraps a page that ran past the list.
    ++page;
}

void Modes::cycleMoment(qsizetype moments) {
    moment = (moment + 1) % (qint64(moments) + 1);
    page = 0;
}

void Modes::togglePanic() {
    panic = !panic;
    page = 0;
}

void Modes::toggleLock() {
    locked = !locked;
}

FeedDocument readDocument(const QJsonObject& document) {
    FeedDocument read;
    read.rut = readNumber(document, kRut);
    read.sourceName = displayText(stringOr(readObject(document, kSource).value_or(QJsonObject()), kName, QString()));
    read.ok = readBool(document, kOk).value_or(false);
    if (!read.ok)
        return read;
    const QJsonObject now = readObject(document, kNow).value_or(QJsonObject());
    read.path = stringOr(now, kPath, QString());
    read.title = displayText(stringOr(now, kTitle, QStringLiteral("—")));
    read.key = displayText(stringOr(now, kKey, QString()));
    read.bpm = integerOr(now, kBpm, 0);
    read.played = integerOr(document, kPlayed, 0);
    if (const std::optional<PickList> entries = readObjectArray(document, kCats))
        read.cats = momentsOf(*entries);
    read.next = shownPicks(readObjectArray(document, kNext).value_or(PickList()));
    read.fresh = shownPicks(readObjectArray(document, kFresh).value_or(PickList()));
    read.bangers = shownPicks(readObjectArray(document, kBangers).value_or(PickList()));
    return read;
}

bool applyDocument(FeedState& feed, Modes& modes, FeedDocument& document) {
    // The rut meter follows every document, even one that reports no track.
    if (const std::optional<RutLabel> rut = document.rut ? rutLabel(interfaceLanguage(), *document.rut) : std::nullopt)
        feed.rut = *rut;
    else
        feed.rut.text.clear();
    feed.sourceName = document.sourceName;

    // A document without a result carries no lists: the state's are emptied.
    feed.fullNext.swap(document.next);
    feed.fullFresh.swap(document.fresh);
    feed.fullBangers.swap(document.bangers);
    if (!document.ok) {
        feed.track = FeedState::Track::Waiting;
        return false;
    }

    feed.track = FeedState::Track::Playing;
    // Only a change of track resets the page; the other modes stay whatever plays.
    if (document.path != feed.curPath) {
        feed.curPath = document.path;
        modes.page = 0;
    }
    feed.title = document.title;
    feed.key = document.key;
    feed.bpm = document.bpm;
    feed.played = document.played;

    // Without "cats" the moments, the moment button and the selection stay as they were.
    if (document.cats) {
        feed.cats.swap(*document.cats);
        feed.catsCarried = true;
        // A moment equal to the count names the last entry and stays.
        if (modes.moment > feed.cats.size())
            modes.moment = 0;
    }
    return true;
}

} // namespace cw
