// Polling the pick feed. refresh() sends one GET and returns at once. The reply's body is collected on the
// main thread (the network manager lives there), decoded and read on the decoder thread, and judged back
// on the main thread, one poll at a time in the order they ended, so the failure count needs no lock. A
// poll goes only to an engine of this user's (EngineEndpoint.h); any other is a failed poll that sends
// nothing.

#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "controller/EngineEndpoint.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThreadPool>
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

void abortOversized(QNetworkReply* reply) {
    reply->setProperty(kOversizedProperty, true);
    reply->abort();
}

// Moves what has arrived into body; false (and the reply aborted) once the body is over the cap.
bool collect(QNetworkReply* reply, QByteArray& body) {
    if (!reply->isOpen())
        return true;
    // Only what has arrived: read(n) sets n bytes aside before it copies, and n up to the cap is 16 MiB.
    body += reply->read(std::min(kMaxFeedBytes + 1 - body.size(), reply->bytesAvailable()));
    if (body.size() > kMaxFeedBytes) {
        abortOversized(reply);
        return false;
    }
    return true;
}

// Whether the engine answered in full. Any HTTP status will do (the body alone decides), and Qt reports
// most of them as errors too; a transfer that was refused, broke off, timed out or was aborted (Qt's
// network and proxy-connection errors, below 105), or an answer that was not HTTP, does not count,
// whatever part of a body had arrived.
bool answered(const QNetworkReply* reply) {
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    switch (const QNetworkReply::NetworkError error = reply->error()) {
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::ProtocolFailure:
        return false;
    default:
        return error == QNetworkReply::NoError || error >= QNetworkReply::ProxyAuthenticationRequiredError;
    }
}

} // namespace

void AppDelegate::refresh() {
    if (m_modes.locked)
        return;
    const std::optional<EngineEndpoint> engine = trustedEndpoint(JSON_URL());
    if (!engine) {
        decodeInBackground(QByteArray()); // judged in turn with the polls still under way
        return;
    }
    QNetworkRequest request(engine->url());
    request.setRawHeader("Host", engine->host);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
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
        // The status is not examined: any complete body that is a JSON object is a feed document.
        const bool complete = collect(reply, *body) && answered(reply) && !reply->property(kOversizedProperty).toBool();
        if (self)
            self->decodeInBackground(complete ? *body : QByteArray());
    });
}

void AppDelegate::decodeInBackground(const QByteArray& body) {
    // A body of a few megabytes takes the decoder a good part of a second; the panel must not wait for it.
    // Every poll goes through the queue, an empty body too, so the judgments keep the order of the polls.
    const QPointer<AppDelegate> self(this);
    // Reading the document into the state's lists takes as long again for the largest; the main thread
    // only swaps them in.
    m_decoder->start([self, context = this, body] {
        const std::optional<QJsonObject> decoded = decodeFeed(body);
        std::optional<FeedDocument> document;
        if (decoded)
            document = readDocument(*decoded);
        QMetaObject::invokeMethod(
            context,
            [self, document = std::move(document)]() mutable {
                if (self)
                    self->judgePoll(std::move(document));
            },
            Qt::QueuedConnection);
    });
}

void AppDelegate::judgePoll(std::optional<FeedDocument> document) {
    const QPointer<AppDelegate> self(this);
    const bool good = document.has_value();
    if (good) {
        m_failCount = 0;
        m_everConnected = true;
        QMetaObject::invokeMethod(
            this,
            [self, document = std::move(*document)]() mutable {
                if (self)
                    self->apply(std::move(document));
            },
            Qt::QueuedConnection);
    } else {
        ++m_failCount;
        if (m_everConnected && m_failCount > 2) {
            m_failCount = 0;
            QMetaObject::invokeMethod(
                this,
                [self] {
                    if (self)
                        self->recover();
                },
                Qt::QueuedConnection);
        }
    }
    emit pollFinished(good);
}

} // namespace cw
