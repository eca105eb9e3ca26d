#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "config/Texts.h"
#include "controller/EngineProcess.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QApplication>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

namespace cw {

QString AppDelegate::downloadPage() {
    return QStringLiteral("https://cratewarden.app/download");
}

AppDelegate::AppDelegate()
    : updateURL(downloadPage()), m_net(new QNetworkAccessManager(this)), m_decoder(new QThreadPool(this)) {
    // The labels exist before the panel does; build() places them. Their first texts are looked up now,
    // in the language chosen at start-up.
    nowTitle = new TextLabel(L(QStringLiteral("loading")));
    nowMeta = new TextLabel(QString());
    nxLab = new TextLabel(L(QStringLiteral("play_next")));
    rutLab = new TextLabel(QString());
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
    // Labels that build() never placed have no parent to delete them.
    for (TextLabel* label : {nowTitle, nowMeta, nxLab, rutLab}) {
        if (label && !label->parent())
            delete label;
    }
    delete panel;
}

void AppDelegate::applicationDidFinishLaunching() {
    build();
    if (!ping())
        spawn();
    m_timer = new QTimer(this);
    m_timer->setInterval(pollIntervalMs);
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
    if (pyProc)
        pyProc->terminate();
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

} // namespace cw
