#pragma once
// The colours of the panel's content, by name. The feed decides which name each text and button gets;
// the widgets map the names to the palette of the settings (ui/Style.h). Plain values, any thread.

namespace cw {

enum class Tone {
    Green,
    Dim,
    Gold,
    Red,
    Cyan,
    RankGray,
    RutGrey, // the rut meter's middle band, and its colour before any share arrived
};

} // namespace cw
