#pragma once
// A panel with its controller built offscreen from a throw-away tree's settings, and small feed builders
// for the feed tests. Main thread only.

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "support/TestTree.h"
#include "ui/DragRow.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

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

// n plain picks titled "T1".."Tn" with paths "/m/1.mp3".., keys "1A".. and 120 BPM.
inline QJsonArray numberedPicks(int n, const QString& prefix = QStringLiteral("T")) {
    QJsonArray picks;
    for (int i = 1; i <= n; ++i)
        picks.append(QJsonObject{{"title", prefix + QString::number(i)},
                                 {"key", QStringLiteral("%1A").arg(i)},
                                 {"bpm", 120},
                                 {"path", QStringLiteral("/m/%1.mp3").arg(i)}});
    return picks;
}

// A playing document: ok, a track at path, and the given extra top-level keys.
inline QJsonObject playing(const QString& path, QJsonObject doc = {}) {
    doc.insert("ok", true);
    doc.insert("now", QJsonObject{{"path", path}, {"title", "Now"}, {"key", "8A"}, {"bpm", 124}});
    return doc;
}

// prefix + first .. prefix + last.
inline QStringList seq(int first, int last, const QString& prefix = QStringLiteral("T")) {
    QStringList out;
    for (int i = first; i <= last; ++i)
        out << prefix + QString::number(i);
    return out;
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

    AppDelegate* operator->() const { return app.get(); }
    DragRow* row(int i) const { return app->rows.at(i); }
    DragRow* fresh(int i) const { return app->freshRows.at(i); }

    // The titles (or rank slots) of the visible pick rows, top to bottom.
    QStringList visible(bool ranks = false) const {
        QStringList out;
        for (DragRow* r : app->rows)
            if (!r->isHidden())
                out << (ranks ? r->rank : r->title)->text();
        return out;
    }

    TestTree tree;
    std::unique_ptr<AppDelegate> app;
};

} // namespace cw::test
