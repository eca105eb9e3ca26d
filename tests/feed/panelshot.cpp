// panelshot <feed.json> <out.png> [step...] [--dir <resource dir>] [--lang <code>]
//
// Renders the panel as the DJ would see it after one feed document, without a display: the panel is
// built offscreen, the document applied, and the panel grabbed to a PNG. Each further step is a button
// action by name (toggleProven, variation, cycleMoment, togglePanic, toggleLock) or another document;
// a document of "-" is none. The resource directory gives
// the brand name and image (the source tree's resources/app by default); the home directory is a
// throw-away one, so no position or support file of the user is read or written.

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "ui/KeyPanel.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>

namespace {

int usage() {
    std::fputs("usage: panelshot <feed.json> <out.png> [step...] [--dir <resource dir>] [--lang <code>]\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QStringList args = app.arguments().mid(1);
    QString dir = QStringLiteral(CW_SOURCE_DIR "/resources/app");
    QString lang = QStringLiteral("en");
    QStringList positional;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--dir") && i + 1 < args.size())
            dir = args[++i];
        else if (args[i] == QLatin1String("--lang") && i + 1 < args.size())
            lang = args[++i];
        else if (args[i].startsWith(QLatin1String("--")))
            return usage();
        else
            positional << args[i];
    }
    if (positional.size() < 2)
        return usage();
    const QString out = positional.takeAt(1);

    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_LANG"), lang);
    cw::installSettings(cw::computeSettings(cw::StartupInputs{dir, home.path(), env, {lang}}));

    cw::AppDelegate delegate;
    delegate.build();
    const QHash<QString, void (cw::AppDelegate::*)()> actions{{"toggleProven", &cw::AppDelegate::toggleProven},
                                                              {"variation", &cw::AppDelegate::variation},
                                                              {"cycleMoment", &cw::AppDelegate::cycleMoment},
                                                              {"togglePanic", &cw::AppDelegate::togglePanic},
                                                              {"toggleLock", &cw::AppDelegate::toggleLock}};
    for (const QString& step : positional) {
        if (step == QLatin1String("-")) // no document: the panel as it comes up
            continue;
        if (actions.contains(step)) {
            (delegate.*actions.value(step))();
            continue;
        }
        QFile feed(step);
        const QJsonDocument document = QJsonDocument::fromJson(feed.open(QIODevice::ReadOnly) ? feed.readAll() : "");
        if (!document.isObject()) {
            std::fprintf(stderr, "panelshot: %s is no action and no readable JSON object\n", qPrintable(step));
            return 1;
        }
        delegate.apply(document.object());
    }
    QApplication::processEvents();

    const QPixmap shot = delegate.panel->grab();
    if (shot.isNull() || !shot.save(out, "PNG")) {
        std::fprintf(stderr, "panelshot: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}
