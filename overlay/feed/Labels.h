#pragma once
// How counts, freshness and the rut share are worded on the panel. Pure functions of their inputs and
// the interface language; the forms without a language argument use the interface language. Any thread once
// settings are installed, in practice the main thread.

#include "feed/Tone.h"

#include <QString>

#include <optional>

namespace cw {

// "played after 3×" for kind "proven", "banger 3×" for any other kind; Hebrew word order when lang is "he".
QString Lp(const QString& lang, const QString& kind, qint64 n);
QString Lp(const QString& kind, qint64 n);

// The freshness badge for a pick's "fresh" state and its days of rest; empty for an unknown state.
QString freshBadge(const QString& lang, const QString& fresh, std::optional<qint64> rest);
QString freshBadge(const QString& fresh, std::optional<qint64> rest);

// The rut meter for a share r: the band's text and colour, and the share as a whole percentage.
struct RutLabel {
    QString text;
    Tone tone = Tone::RutGrey;
    bool operator==(const RutLabel&) const = default;
};
// Bands are chosen on r itself; the percentage is r × 100 truncated toward zero. A share whose
// percentage has no 64-bit value (huge or infinite) shows the band text alone; NaN has no band and
// answers nothing, like an absent share.
std::optional<RutLabel> rutLabel(const QString& lang, double r);

} // namespace cw
