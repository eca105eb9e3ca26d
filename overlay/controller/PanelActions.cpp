// The controller's side of the panel: applying a document, rendering, the operator modes, the lock and
// saving the position. Each updates the state, computes the view and hands it to the widgets. Main
// thread only; a replaced document's lists are freed on the decoder thread.

#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "ui/Panel.h"
#include "ui/PositionFile.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QThreadPool>

namespace cw {

void AppDelegate::show(const PanelView& view) {
    m_view = view;
    if (m_panel)
        m_panel->display(m_view);
}

void AppDelegate::apply(const QJsonObject& document) {
    apply(readDocument(document));
}

void AppDelegate::apply(FeedDocument document) {
    const bool playing = applyDocument(m_feed, m_modes, document);
    // The document now holds the lists the state let go, the last reference to them.
    m_decoder->start([dropped = std::move(document)] {});
    if (playing)
        render();
    else
        show(waitingView(m_feed, m_view));
}

void AppDelegate::render() {
    const PanelView view = panelView(m_feed, m_modes);
    m_modes.page = view.page;
    show(view);
}

void AppDelegate::toggleProven() {
    m_modes.toggleProven();
    render();
}

void AppDelegate::variation() {
    m_modes.variation();
    render();
}

void AppDelegate::cycleMoment() {
    m_modes.cycleMoment(m_feed.cats.size());
    render();
}

void AppDelegate::togglePanic() {
    m_modes.togglePanic();
    render();
}

void AppDelegate::toggleLock() {
    // Polls stop while locked (refresh), and the header says so.
    m_modes.toggleLock();
    render();
}

void AppDelegate::savePos() {
    const std::optional<QPointF> origin = m_panel ? m_panel->savedOrigin() : std::nullopt;
    if (!origin)
        return;
    // The save replaces the file, and through a link it would replace the link's target, whatever that
    // is. Only a plain file of our own (or none yet) is ever written.
    const QFileInfo existing(settings().POS);
    if (existing.isSymLink() || (existing.exists() && !existing.isFile()))
        return;
    // A reader sees the old content or the new one, never half of either; failures are ignored.
    QSaveFile file(settings().POS);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(formatPosition(*origin).toUtf8());
    file.commit();
}

} // namespace cw
