// The update check, the update button's action and the setup re-open.
// (First cut: no check is made yet; the settings button quits.)

#include "controller/AppDelegate.h"

#include <QCoreApplication>

namespace cw {

void AppDelegate::checkForUpdate() {}

QJsonObject AppDelegate::runJSON(const QString&, const QString&, const QStringList&) { return {}; }

void AppDelegate::openUpdate() {}

void AppDelegate::reopenSetup() { QCoreApplication::quit(); }

} // namespace cw
