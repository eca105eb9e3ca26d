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

#include <memory>

namespace cw {

namespace {

constexpr int kPollTimeoutMs = 1500;
// A feed is a few kilobytes; anything near this is a runaway engine, not a document.
constexpr qint64 kMaxFeedBytes = 16 * 1024 * 1024;
// What the network thread may read ahead of us. Without a cap it buffers as fast as the engine sends,
// however much that is; with it, the body grows only as fast as we collect it below.
constexpr qint64 kReadAheadBytes = 1024 * 1024;

const char* const kOversizedProperty = "cwOversized";
const char* const kBodyProperty = "cwBody";

void abortOversized(QNetworkReply* reply) {
    reply->setProperty(kOversizedProperty, true);
    reply->abort();
}

// Moves what has arrived into body; false (and the reply aborted) once the body is over the cap.
bool collect(QNetworkReply* reply, QByteArray& body) {
    if (!reply->isOpen())
        return true;
    body += reply->read(kMaxFeedBytes + 1 - body.size());
    if (body.size() > kMaxFeedBytes) {
        abortOversized(reply);
        return false;
    }
    return true;
}

// Whether the engine answered in full. Any HTTP status will do (the body alone decides); a transfer that
// was refused, broke off, timed out or was aborted does not count, whatever part of a body had arrived.
bool answered(const QNetworkReply* reply) {
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    switch (reply->error()) {
    case QNetworkReply::NoError:
    case QNetworkReply::ProtocolInvalidOperationError: // 400
        return true;
    default: {
        // Qt reports 4xx statuses as content errors and 5xx as server errors.
        const int code = reply->error();
        return (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError) ||
               (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
    }
    }
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
    reply->setReadBufferSize(kReadAheadBytes);

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
    auto body = std::make_shared<QByteArray>();
    connect(reply, &QNetworkReply::readyRead, reply, [reply, body] { collect(reply, *body); });
    const QPointer<AppDelegate> self(this);
    connect(reply, &QNetworkReply::finished, this, [self, reply, body] {
        reply->deleteLater();
        if (collect(reply, *body) && answered(reply))
            reply->setProperty(kBodyProperty, *body);
        if (self)
            self->onPollReply(reply);
    });
}

void AppDelegate::onPollReply(QNetworkReply* reply) {
    QJsonObject document;
    bool good = false;
    if (!reply->property(kOversizedProperty).toBool()) {
        // The status is not examined: any body that is a JSON object is a feed document.
        const QByteArray body = reply->property(kBodyProperty).toByteArray();
        if (!body.isEmpty()) {
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
