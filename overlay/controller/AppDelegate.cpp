#include "controller/AppDelegate.h"

#include "controller/EngineProcess.h"
#include "ui/KeyPanel.h"
#include "ui/Panel.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

namespace cw {

namespace {
// How long quitting waits for the engines asked to stop before it kills them.
constexpr int kQuitGraceMs = 1000;
} // namespace

QString AppDelegate::downloadPage() {
    return QStringLiteral("https://cratewarden.app/download");
}

AppDelegate::AppDelegate()
    : m_updateURL(downloadPage()), m_view(initialView()), m_net(new QNetworkAccessManager(this)),
      m_decoder(new QThreadPool(this)) {
    // Every poll must reach the engine itself: no cache is ever installed, no proxy, no redirects.
    m_net->setProxy(QNetworkProxy::NoProxy);
    m_net->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // One thread keeps the judgments in the order the polls ended, as one serial completion queue would.
    m_decoder->setMaxThreadCount(1);
}

AppDelegate::~AppDelegate() {
    // A body still being decoded posts its judgment to this object; let it finish first (the queued
    // judgment then goes with the object).
    m_decoder->waitForDone();
}

void AppDelegate::applicationDidFinishLaunching() {
    build();
    if (!ping())
        spawn();
    m_timer = new QTimer(this);
    m_timer->setInterval(m_pollIntervalMs);
    // A coarse timer may tick up to 5 % early; the engine is asked every 2.0 s, never sooner.
    m_timer->setTimerType(Qt::PreciseTimer);
    const QPointer<AppDelegate> self(this);
    connect(m_timer, &QTimer::timeout, this, [self] {
        if (self)
            self->refresh();
    });
    m_timer->start();
    refresh();
    checkForUpdate();
}

void AppDelegate::applicationWillTerminate() {
    if (m_terminated)
        return;
    m_terminated = true;
    if (m_pyProc)
        m_pyProc->terminate();
    // An engine that ignores SIGTERM would outlive the panel: one that ends promptly costs no wait here.
    EngineProcess::killStragglers(kQuitGraceMs);
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

void AppDelegate::build() {
    m_panel = std::make_unique<Panel>(m_view);
    Panel* panel = m_panel.get();
    connect(panel, &Panel::quit, this, &AppDelegate::quit);
    connect(panel, &Panel::reopenSetup, this, &AppDelegate::reopenSetup);
    connect(panel, &Panel::toggleProven, this, &AppDelegate::toggleProven);
    connect(panel, &Panel::variation, this, &AppDelegate::variation);
    connect(panel, &Panel::cycleMoment, this, &AppDelegate::cycleMoment);
    connect(panel, &Panel::togglePanic, this, &AppDelegate::togglePanic);
    connect(panel, &Panel::openUpdate, this, &AppDelegate::openUpdate);
    connect(panel, &Panel::toggleLock, this, &AppDelegate::toggleLock);
    // Placed before savePos listens, so the initial placement writes nothing.
    panel->placeInitially();
    connect(panel, &Panel::moved, this, &AppDelegate::savePos);
    panel->window()->show();
}

} // namespace cw
