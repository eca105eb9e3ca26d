// The operator modes: proven-only, other page, moment, floor rescue. Main thread only.

#include "controller/AppDelegate.h"

namespace cw {

void AppDelegate::toggleProven() {
    provenOnly = !provenOnly;
    page = 0;
    render();
}

void AppDelegate::variation() {
    ++page;
    render();
}

void AppDelegate::cycleMoment() {
    moment = (moment + 1) % (qint64(cats.size()) + 1);
    page = 0;
    render();
}

void AppDelegate::togglePanic() {
    panic = !panic;
    page = 0;
    render();
}

} // namespace cw
