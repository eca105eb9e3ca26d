// Polling the pick feed. refresh() sends one GET and returns at once; the reply is judged on the main
// thread (the network manager lives there), one at a time, so failCount and everConnected need no lock.

#include "controller/AppDelegate.h"

#include "config/Settings.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

namespace cw {

namespace {

constexpr int kPollTimeoutMs = 1500;
// A feed is a few kilobytes; anything near this is a runaway engine, not a document.
constexpr qint64 kMaxFeedBytes = 16 * 1024 * 1024;

const char* const kOversizedProperty = "cwOversized";

void abortOversized(QNetworkReply* reply) {
    reply->setProperty(kOversizedProperty, true);
    reply->abort();
}

} // namespace

void AppDelegate::refresh() {
    if (locked)
        return;
    QNetworkRequest request(JSON_URL());
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(kPollTimeoutMs);
    QNetworkReply* reply = m_net->get(request);

    // The transfer time-out only measures silence; a trickling engine is cut off by this overall deadline.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(kPollTimeoutMs);

    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply] {
        bool known = false;
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && length > kMaxFeedBytes)
            abortOversized(reply);
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxFeedBytes)
            abortOversized(reply);
    });
    const QPointer<AppDelegate> self(this);
    connect(reply, &QNetworkReply::finished, this, [self, reply] {
        reply->deleteLater();
        if (self)
            self->onPollReply(reply);
    });
}

void AppDelegate::onPollReply(QNetworkReply* reply) {
    QJsonObject document;
    bool good = false;
    if (!reply->property(kOversizedProperty).toBool()) {
        // The status is not examined: any body that is a JSON object is a feed document.
        const QByteArray body = reply->readAll();
        if (!body.isEmpty() && body.size() <= kMaxFeedBytes) {
            const QJsonDocument decoded = QJsonDocument::fromJson(body);
            if (decoded.isObject()) {
                document = decoded.object();
                good = true;
            }
        }
    }
    const QPointer<AppDelegate> self(this);
    if (good) {
        failCount = 0;
        everConnected = true;
        QMetaObject::invokeMethod(
            this, [self, document] {
                if (self)
                    self->apply(document);
            },
            Qt::QueuedConnection);
    } else {
        ++failCount;
        if (everConnected && failCount > 2) {
            failCount = 0;
            QMetaObject::invokeMethod(
                this, [self] {
                    if (self)
                        self->recover();
                },
                Qt::QueuedConnection);
        }
    }
    emit pollFinished(good);
}

} // namespace cw
