#pragma once
// The whole feed path as one call, for the libFuzzer target (fuzz_feed) and the corpus replay
// (tst_fuzz_corpus): bytes → decodeFeed → apply → every operator mode pressed → the view drawn on a panel
// built once, and painted. Each run has a new controller, so a crash replays from its one file. Main
// thread only; the caller owns the QApplication.

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"
#include "ui/TextLabel.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <memory>

namespace cw::test {

class FeedPath {
public:
    FeedPath() {
        QProcessEnvironment env;
        env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("en"));
        // The position file would live in the throw-away home; no engine is ever started here.
        installSettings(computeSettings(StartupInputs{m_dir.path() + QStringLiteral("/app"), m_dir.path(), env, {}}));
        m_panel = std::make_unique<Panel>(initialView());
    }

    // Runs bytes through the path. True when they were a feed document (a JSON object).
    bool run(const QByteArray& bytes) {
        m_inconsistency.clear();
        const std::optional<QJsonObject> document = decodeFeed(bytes);
        if (!document)
            return false;
        // The Hebrew forms of the counts and badges take other branches; the input's last byte picks.
        Settings s = settings();
        s.LANG = (bytes.back() & 1) ? QStringLiteral("he") : QStringLiteral("en");
        installSettings(s);

        m_delegate = std::make_unique<AppDelegate>();
        AppDelegate& d = *m_delegate;
        d.apply(*document);
        check("apply", d.feed().track == FeedState::Track::Waiting);
        // Cycling through more moments than this finds nothing new, and one input with thousands of moments
        // would take thousands of renders.
        for (qsizetype i = 0; i < std::min<qsizetype>(d.feed().cats.size(), 4) + 1; ++i) {
            d.cycleMoment();
            check("cycleMoment", false);
        }
        for (auto action : {&AppDelegate::variation, &AppDelegate::variation, &AppDelegate::toggleProven,
                            &AppDelegate::variation, &AppDelegate::togglePanic, &AppDelegate::variation,
                            &AppDelegate::toggleLock, &AppDelegate::togglePanic, &AppDelegate::toggleProven}) {
            (d.*action)();
            check("a mode", false);
        }
        // Painting lays the texts out: elision of huge or strange strings runs here. Then what the main loop
        // would do next, so posted events do not pile up from run to run as the product never sees them.
        m_panel->window()->grab();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return true;
    }
    // The first way the view contradicted its state, or the panel the view, in the last run; empty if none.
    QString inconsistency() const { return m_inconsistency; }
    const AppDelegate& delegate() const { return *m_delegate; }

private:
    void check(const char* step, bool waiting) {
        const AppDelegate& d = *m_delegate;
        const PanelView& v = d.view();
        m_panel->display(v);
        const auto fail = [&](const QString& why) {
            if (m_inconsistency.isEmpty())
                m_inconsistency = QStringLiteral("after %1: %2").arg(QLatin1StringView(step), why);
        };
        const Modes& m = d.modes();
        if (m.moment < 0 || m.moment > d.feed().cats.size() || m.page < 0)
            fail(QStringLiteral("moment %1 of %2, page %3").arg(m.moment).arg(d.feed().cats.size()).arg(m.page));
        // The feed may name a track "" (a present string is shown as it is), but the details always have text.
        if (v.header.isEmpty() || v.nowMeta.isEmpty())
            fail(QStringLiteral("an empty header or detail line"));
        // The panel draws what the view says; rows on show come first, and only the top one can be lit.
        const qsizetype source = m.panic ? d.feed().fullBangers.size() : d.feed().fullNext.size();
        qsizetype shown = 0;
        for (qsizetype i = 0; i < kPageSize; ++i) {
            const RowView& row = v.rows[i];
            const DragRow* drawn = m_panel->rows.at(i);
            if (drawn->isHidden() == row.shown || drawn->isHighlighted() != row.highlighted ||
                (row.shown && drawn->title->text() != row.title) || (row.shown && shown++ != i) ||
                (row.highlighted && (i > 0 || !row.shown)))
                fail(QStringLiteral("row %1 (rank \"%2\") out of place on page %3").arg(i).arg(row.rank).arg(m.page));
        }
        const qsizetype fresh =
            std::count_if(v.freshRows.cbegin(), v.freshRows.cend(), [](const RowView& r) { return r.shown; });
        if (waiting ? shown + fresh > 0 || source > 0 : shown == 0 || shown > std::max<qsizetype>(source, 1))
            fail(QStringLiteral("%1 rows on show from a list of %2 %3 waiting")
                     .arg(shown)
                     .arg(source)
                     .arg(waiting ? "while" : "when not"));
        if (fresh > d.feed().fullFresh.size() || (fresh && !v.freshRows[fresh - 1].shown) || v.freshRows[0].highlighted)
            fail(QStringLiteral("%1 fresh rows from %2 fresh picks").arg(fresh).arg(d.feed().fullFresh.size()));
    }

    QTemporaryDir m_dir;
    std::unique_ptr<Panel> m_panel;
    std::unique_ptr<AppDelegate> m_delegate;
    QString m_inconsistency;
};

} // namespace cw::test
