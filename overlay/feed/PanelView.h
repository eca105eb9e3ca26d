#pragma once
// What the panel shows, as one value computed from the feed and the modes (FeedState.h): every label's
// text and tone, the header, the mode buttons, and the six pick rows and two fresh rows. The widgets
// (ui/Panel.h) only draw such a value. Pure functions; the controller calls them on the main thread.
//
// Three moments change the panel, each with its function: the start (initialView), a render after a
// document with a result or a button (panelView), and a document without one (waitingView), which does
// not render: its rows are hidden and the header and buttons keep what the last render gave them.

#include "feed/FeedState.h"
#include "feed/Tone.h"

#include <QString>

#include <array>
#include <optional>

namespace cw {

// A page holds this many picks, one per pick row.
inline constexpr qint64 kPageSize = 6;

struct RowView {
    bool shown = false;           // a hidden row keeps whatever else it held, and is never highlighted
    QString rank;                 // the rank slot's text
    std::optional<Tone> rankTone; // none: the slot keeps its colour
    QString title;
    QString detail;
    QString path; // what a drag hands over; empty: the row cannot be dragged
    bool highlighted = false;
    bool operator==(const RowView&) const = default;
};

struct PanelView {
    QString nowTitle;
    QString nowMeta;
    RutLabel rut;
    QString header; // over the pick rows (nxLab)
    QString momentTitle;
    QString momentSpoken; // the moment button's name for screen readers, in words: "Moment: Peak"
    bool momentShown = true;
    Tone proven = Tone::Dim;
    Tone variation = Tone::Dim;
    Tone moment = Tone::Dim;
    Tone panic = Tone::Dim;
    Tone lock = Tone::Dim;
    std::array<RowView, kPageSize> rows;
    std::array<RowView, 2> freshRows;
    // The page on show: the modes' page, or 0 when a render found it past the end of the list. The
    // render writes it back to the modes, its one change of state.
    qint64 page = 0;
    bool operator==(const PanelView&) const = default;
};

// The panel as it comes up: the loading text, every row hidden, the header and buttons with every mode off.
PanelView initialView();

// A render: the list for the modes (bangers in rescue mode, else the moment's and, when asked, proven
// picks), its current page in the pick rows, the fresh picks, the header and the buttons. The buttons
// show the modes as they stand when the render begins, so a page wrapped here keeps `variation` lit
// until the next render.
PanelView panelView(const FeedState& feed, const Modes& modes);

// After a document without a result: its now-playing texts and rut meter, every row hidden, the header
// and buttons as `shown` has them.
PanelView waitingView(const FeedState& feed, const PanelView& shown);

// The two fresh rows: the fresh picks of the selected moment, in every mode.
std::array<RowView, 2> fillFresh(const FeedState& feed, const Modes& modes);

} // namespace cw
