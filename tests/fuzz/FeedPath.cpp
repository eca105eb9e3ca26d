#include "FeedPath.h"

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "feed/FeedReader.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

namespace cw::test {

namespace {

// Cycling through more moments than this finds nothing new and lets one input with thousands of
// moments take thousands of renders.
constexpr qsizetype kMomentsVisited = 4;

QString describeRow(int i, const DragRow* row) {
    return QStringLiteral("row %1 (rank \"%2\", title \"%3\")")
        .arg(i)
        .arg(row->rank->text(), row->title->text().left(40));
}

} // namespace

FeedPath::FeedPath() {
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("en"));
    // The position file lives in the throw-away home; no engine is ever started here.
    installSettings(computeSettings(StartupInputs{m_dir.path() + QStringLiteral("/app"), m_dir.path(), env, {}}));
    m_delegate = std::make_unique<AppDelegate>();
    m_delegate->build();
}

FeedPath::~FeedPath() = default;

void FeedPath::reset() {
    AppDelegate& d = *m_delegate;
    d.fullNext.clear();
    d.fullFresh.clear();
    d.fullBangers.clear();
    d.provenOnly = d.panic = d.locked = false;
    d.page = d.moment = 0;
    d.curPath.clear();
    d.cats.clear();
    d.btnMoment->setHidden(true);
    d.render();
}

bool FeedPath::run(const QByteArray& bytes) {
    m_inconsistency.clear();
    reset();
    AppDelegate& d = *m_delegate;
    const std::optional<QJsonObject> document = decodeFeed(bytes);
    if (!document)
        return false;

    // The Hebrew forms of the counts and badges take other branches; the input's last byte picks.
    Settings s = settings();
    s.LANG = (bytes.back() & 1) ? QStringLiteral("he") : QStringLiteral("en");
    installSettings(s);

    d.apply(*document);
    m_waiting = !readBool(*document, QLatin1StringView("ok")).value_or(false);
    step("apply");
    m_waiting = false;
    for (qsizetype i = 0; i < std::min(d.cats.size(), kMomentsVisited) + 1; ++i) {
        d.cycleMoment();
        step("cycleMoment");
    }
    using Action = void (AppDelegate::*)();
    const std::pair<Action, const char*> actions[] = {
        {&AppDelegate::variation, "variation"}, {&AppDelegate::variation, "variation"},
        {&AppDelegate::toggleProven, "proven"}, {&AppDelegate::variation, "variation"},
        {&AppDelegate::togglePanic, "panic"},   {&AppDelegate::variation, "variation"},
        {&AppDelegate::toggleLock, "lock"},     {&AppDelegate::togglePanic, "panic"},
        {&AppDelegate::toggleProven, "proven"}, {&AppDelegate::toggleLock, "lock"},
    };
    for (const auto& [action, name] : actions) {
        (d.*action)();
        step(name);
    }
    // Painting lays the texts out: elision of huge or strange strings runs here.
    d.panel->grab();
    // What the main loop would do next: repaints, and deleting what was handed to deleteLater. Without
    // it, posted events pile up from run to run, which the product never sees.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return true;
}

void FeedPath::step(const char* what) {
    if (!m_inconsistency.isEmpty())
        return;
    const AppDelegate& d = *m_delegate;
    const auto fail = [&](const QString& why) {
        m_inconsistency = QStringLiteral("after %1: %2").arg(QLatin1StringView(what), why);
    };

    if (d.rows.size() != 6 || d.freshRows.size() != 2)
        return fail(QStringLiteral("the panel lost rows"));
    if (d.moment < 0 || d.moment > d.cats.size())
        return fail(QStringLiteral("moment %1 with %2 moments").arg(d.moment).arg(d.cats.size()));
    if (d.page < 0)
        return fail(QStringLiteral("page %1").arg(d.page));
    // The feed may name a track "" (a present string is shown as it is), but the details always have text.
    if (d.nxLab->text().isEmpty() || d.nowMeta->text().isEmpty())
        return fail(QStringLiteral("an empty header or detail line"));

    if (m_waiting) {
        for (const QList<DragRow*>* list : {&d.rows, &d.freshRows}) {
            for (const DragRow* row : *list) {
                if (!row->isHidden() || row->isHighlighted())
                    return fail(QStringLiteral("a row stays on show in the waiting state"));
            }
        }
        if (!d.fullNext.isEmpty() || !d.fullFresh.isEmpty() || !d.fullBangers.isEmpty())
            return fail(QStringLiteral("lists kept in the waiting state"));
        return;
    }

    // Pick rows: row 0 always shows something; the rows on show are a prefix; ranks count on from the page.
    const qsizetype source = d.panic ? d.fullBangers.size() : d.fullNext.size();
    const bool placeholder = d.rows.at(0)->rank->text().isEmpty();
    bool hiddenSeen = false;
    qsizetype shown = 0;
    for (int i = 0; i < d.rows.size(); ++i) {
        const DragRow* row = d.rows.at(i);
        if (row->isHidden()) {
            hiddenSeen = true;
            if (row->isHighlighted())
                return fail(describeRow(i, row) + QStringLiteral(" is hidden but highlighted"));
            continue;
        }
        if (hiddenSeen)
            return fail(describeRow(i, row) + QStringLiteral(" is on show below a hidden row"));
        ++shown;
        if (row->isHighlighted() != (i == 0 && !placeholder))
            return fail(describeRow(i, row) + QStringLiteral(" has the wrong highlight"));
        if (placeholder && i > 0)
            return fail(describeRow(i, row) + QStringLiteral(" is on show beside the empty-list row"));
        const QString rank = row->rank->text();
        if (!placeholder && rank != QStringLiteral("🎁") && rank != QStringLiteral("🆘") &&
            rank != QString::number(d.page * 6 + i + 1))
            return fail(describeRow(i, row) + QStringLiteral(" on page %1").arg(d.page));
    }
    if (shown == 0)
        return fail(QStringLiteral("no pick row on show"));
    if (!placeholder && (shown > source || d.page * 6 >= source))
        return fail(QStringLiteral("%1 rows of page %2 from a list of %3").arg(shown).arg(d.page).arg(source));

    qsizetype freshShown = 0;
    for (int i = 0; i < d.freshRows.size(); ++i) {
        const DragRow* row = d.freshRows.at(i);
        if (row->isHidden())
            continue;
        if (i != freshShown)
            return fail(QStringLiteral("fresh row %1 on show below a hidden one").arg(i));
        ++freshShown;
        if (row->isHighlighted())
            return fail(QStringLiteral("fresh row %1 is highlighted").arg(i));
    }
    if (freshShown > d.fullFresh.size())
        return fail(QStringLiteral("%1 fresh rows from %2 fresh picks").arg(freshShown).arg(d.fullFresh.size()));
}

} // namespace cw::test
