// Filling the panel from the controller's state. Main thread only.
// (First cut: nothing is drawn yet.)

#include "controller/AppDelegate.h"

namespace cw {

void AppDelegate::render() { fillFresh(); }

void AppDelegate::fillFresh() {}

PickList AppDelegate::momentFilter(const PickList& list) const { return list; }

} // namespace cw
