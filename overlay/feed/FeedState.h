#pragma once
// What the panel knows: what the feed documents said (FeedState) and what the DJ chose with the buttons
// (Modes), and the pure transitions between them: applying one document and each mode action. Plain
// values with no widget behind them; the controller owns the one pair of the program and changes it on
// the main thread only, then asks PanelView.h what the panel shows. A document is read (readDocument)
// on any thread.

#include "feed/FeedReader.h"
#include "feed/Labels.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace cw {

// One moment (a category of picks) the engine offers.
struct Moment {
    QString id;
    QString label;
    bool operator==(const Moment&) const = default;
};

// What the documents applied so far said. Every document replaces the lists whole. Every text the panel
// shows is held as displayText (FeedReader.h) made it; paths and moment ids are held as sent.
struct FeedState {
    enum class Track {
        Loading, // no document yet
        Waiting, // the last document had no result ("ok" not true)
        Playing, // the last document reported a track
    };
    Track track = Track::Loading;
    // The DJ program the last document says it comes from ("source" "name"); empty when it says none.
    QString sourceName;
    // The track now playing and the set so far, as the last document with a result read them.
    QString title;
    QString key;
    qint64 bpm = 0;
    qint64 played = 0;
    // "path" of the track now playing, as of the last document with a result; a change resets the page.
    QString curPath;
    // The rut meter: the text of the last document's share (empty without one) in the colour of the last
    // share any document carried.
    RutLabel rut;
    // The moments of the last document that carried "cats", and whether any has yet.
    QList<Moment> cats;
    bool catsCarried = false;
    PickList fullNext;
    PickList fullFresh;
    PickList fullBangers;
};

// The operator's modes. None is saved, and no document resets any but the page and the moment.
struct Modes {
    bool provenOnly = false;
    bool panic = false;
    bool locked = false;
    // The page of six picks on show, from 0.
    qint64 page = 0;
    // 0 shows every moment; k from 1 to the number of moments selects entry k − 1 of cats.
    qint64 moment = 0;

    void toggleProven();
    void variation();
    void cycleMoment(qsizetype moments);
    void togglePanic();
    void toggleLock();
};

// One document as the state takes it, every text already as displayText made it: the part of applying a
// document that does not depend on the state, and the part that costs time in proportion to its lists
// (millions of picks in the largest bodies), so the controller runs it on its decoder thread.
struct FeedDocument {
    std::optional<double> rut;
    QString sourceName;
    bool ok = false; // the rest is read only when true
    QString path, title, key;
    qint64 bpm = 0, played = 0;
    std::optional<QList<Moment>> cats;
    PickList next, fresh, bangers;
};

// Reads a decoded document. Pure; any thread.
FeedDocument readDocument(const QJsonObject& document);

// Applies one read document. True when it reports a playing track, after which the panel renders;
// false when it puts the panel in the waiting state, in which nothing renders: the lists are emptied
// and only the rut meter and the now-playing texts follow the document. The lists change places with
// the document's, which is left holding those the state let go, for the caller to free where it costs
// the panel nothing.
bool applyDocument(FeedState& feed, Modes& modes, FeedDocument& document);

} // namespace cw
