#pragma once
// A built panel with its controller, for the feed tests: settings in a throw-away tree, the panel made
// offscreen, documents applied from inline JSON or from tests/data/feeds. Main thread only.

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "support/TestTree.h"
#include "ui/DragRow.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

namespace cw::test {

inline QJsonObject parseJson(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qFatal("bad test JSON: %s in %s", qPrintable(error.errorString()), json.constData());
    return doc.object();
}

inline QJsonObject feedFixture(const QString& name) {
    QFile file(QStringLiteral(CW_TEST_DATA_DIR "/feeds/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return parseJson(file.readAll());
}

// n plain picks titled "T1".."Tn" with paths "/m/1.mp3".., keys "1A".., 120 BPM and no other keys.
inline QJsonArray numberedPicks(int n) {
    QJsonArray picks;
    for (int i = 1; i <= n; ++i)
        picks.append(QJsonObject{{"title", QStringLiteral("T%1").arg(i)},
                                 {"key", QStringLiteral("%1A").arg(i)},
                                 {"bpm", 120},
                                 {"path", QStringLiteral("/m/%1.mp3").arg(i)}});
    return picks;
}

// A playing document: ok, a track at path, and the given extra top-level keys.
inline QJsonObject playing(const QString& path, const QJsonObject& extra = {}) {
    QJsonObject doc = extra;
    doc.insert("ok", true);
    doc.insert("now", QJsonObject{{"path", path}, {"title", "Now"}, {"key", "8A"}, {"bpm", 124}});
    return doc;
}

class Panel {
public:
    explicit Panel(const QString& lang = QStringLiteral("en")) {
        QProcessEnvironment env;
        env.insert(QStringLiteral("TRK_LANG"), lang);
        tree.install(env);
        app = std::make_unique<AppDelegate>();
        app->build();
    }

    AppDelegate& operator*() const { return *app; }
    AppDelegate* operator->() const { return app.get(); }

    DragRow* row(int i) const { return app->rows.at(i); }
    DragRow* fresh(int i) const { return app->freshRows.at(i); }

    // Titles of the visible pick rows, top to bottom.
    QStringList visibleTitles() const {
        QStringList titles;
        for (DragRow* r : app->rows)
            if (!r->isHidden())
                titles << r->title->text();
        return titles;
    }
    QStringList visibleRanks() const {
        QStringList ranks;
        for (DragRow* r : app->rows)
            if (!r->isHidden())
                ranks << r->rank->text();
        return ranks;
    }

    TestTree tree;
    std::unique_ptr<AppDelegate> app;
};

inline QStringList titlesFrom(int first, int last) {
    QStringList titles;
    for (int i = first; i <= last; ++i)
        titles << QStringLiteral("T%1").arg(i);
    return titles;
}

inline QStringList ranksFrom(int first, int last) {
    QStringList ranks;
    for (int i = first; i <= last; ++i)
        ranks << QString::number(i);
    return ranks;
}

} // namespace cw::test
