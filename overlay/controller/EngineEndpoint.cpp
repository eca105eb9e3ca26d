#include "controller/EngineEndpoint.h"

#include "controller/Platform.h"

namespace cw {

namespace {

// The address to connect to when the listeners are all ours: IPv4 when one of them takes IPv4.
std::optional<QHostAddress> ownListenerAddress(const std::optional<QList<LoopbackListener>>& listeners) {
    if (!listeners || listeners->isEmpty())
        return std::nullopt;
    bool ipv4 = false;
    for (const LoopbackListener& listener : *listeners) {
        if (listener.uid != currentUid())
            return std::nullopt;
        ipv4 = ipv4 || listener.address.protocol() == QAbstractSocket::IPv4Protocol;
    }
    return QHostAddress(ipv4 ? QHostAddress::LocalHost : QHostAddress::LocalHostIPv6);
}

} // namespace

QUrl EngineEndpoint::url() const {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(address.toString());
    url.setPort(port);
    url.setPath(path);
    return url;
}

std::optional<EngineEndpoint> trustedEndpoint(const QUrl& feedUrl) {
    // An invalid address (a port beyond 65535) names no engine at all.
    const int port = feedUrl.isValid() ? feedUrl.port() : -1;
    if (port <= 0 || port > 0xffff)
        return std::nullopt;
    const std::optional<QHostAddress> address = ownListenerAddress(loopbackListeners(quint16(port)));
    if (!address)
        return std::nullopt;
    return EngineEndpoint{*address, quint16(port), feedUrl.path(),
                          feedUrl.host().toLatin1() + ':' + QByteArray::number(port)};
}

} // namespace cw
