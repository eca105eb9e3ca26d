// Turning one feed document into controller state and label texts. Main thread only.
// (First cut: keeps the lists; labels and rows come with the panel work.)

#include "controller/AppDelegate.h"

namespace cw {

void AppDelegate::apply(const QJsonObject& document) {
    fullNext = readObjectArray(document, QLatin1StringView("next")).value_or(PickList{});
    fullFresh = readObjectArray(document, QLatin1StringView("fresh")).value_or(PickList{});
    fullBangers = readObjectArray(document, QLatin1StringView("bangers")).value_or(PickList{});
}

} // namespace cw
