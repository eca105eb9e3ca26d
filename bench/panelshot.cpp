// panelshot <feed.json> <out.png> [step...] [--dir <resource dir>] [--lang <code>]
//
// Renders the panel as the DJ would see it after one feed document, without a display: the panel is
// built offscreen, the document applied, and the panel grabbed to a PNG. Each further step is a button
// action by name (toggleProven, variation, cycleMoment, togglePanic, toggleLock) or another document;
// a document of "-" is none. The resource directory gives the brand name and image (the source tree's
// resources/app by default); the home is a throw-away one, so no file of the user's is read or written.

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>

using namespace cw;

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QString dir = QStringLiteral(CW_SOURCE_DIR "/resources/app");
    QString lang = QStringLiteral("en");
    QStringList steps;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if ((args[i] == QLatin1String("--dir") || args[i] == QLatin1String("--lang")) && i + 1 < args.size())
            (args[i] == QLatin1String("--dir") ? dir : lang) = args[++i];
        else
            steps << args[i];
    }
    if (steps.size() < 2 || steps.first().startsWith(QLatin1String("--"))) {
        std::fputs("usage: panelshot <feed.json> <out.png> [step...] [--dir <resource dir>] [--lang <code>]\n", stderr);
        return 2;
    }
    const QString out = steps.takeAt(1);
    QTemporaryDir home;
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_LANG"), lang);
    installSettings(computeSettings(StartupInputs{dir, home.path(), env, {lang}}));

    AppDelegate delegate;
    delegate.build();
    const QHash<QString, void (AppDelegate::*)()> actions{{"toggleProven", &AppDelegate::toggleProven},
                                                          {"variation", &AppDelegate::variation},
                                                          {"cycleMoment", &AppDelegate::cycleMoment},
                                                          {"togglePanic", &AppDelegate::togglePanic},
                                                          {"toggleLock", &AppDelegate::toggleLock}};
    for (const QString& step : std::as_const(steps)) {
        QFile feed(step);
        const QJsonDocument document = QJsonDocument::fromJson(feed.open(QIODevice::ReadOnly) ? feed.readAll() : "");
        if (actions.contains(step))
            (delegate.*actions.value(step))();
        else if (document.isObject())
            delegate.apply(document.object());
        else if (step != QLatin1String("-")) {
            std::fprintf(stderr, "panelshot: %s is no action and no readable JSON object\n", qPrintable(step));
            return 1;
        }
    }
    QApplication::processEvents();
    if (!delegate.panel()->window()->grab().save(out, "PNG")) {
        std::fprintf(stderr, "panelshot: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}
