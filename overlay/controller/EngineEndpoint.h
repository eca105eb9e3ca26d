#pragma once
// Where the panel may send a request for the feed. Only an engine of this user's own is ever asked: a
// port where another user listens on the loopback (or where nobody does) has no endpoint, so the panel
// sends nothing there and treats it as an engine that does not answer. The ping and the polls take the
// one endpoint this gives, so both reach the same listener whichever loopback `localhost` names first.
// Any thread; it reads the system's socket table (Platform.h) on every call.

#include <QByteArray>
#include <QHostAddress>
#include <QUrl>

#include <optional>

namespace cw {

struct EngineEndpoint {
    QHostAddress address; // 127.0.0.1, or ::1 when the engine listens on IPv6 only
    quint16 port = 0;
    QString path;    // of the feed address
    QByteArray host; // the feed address's own "localhost:<port>", sent as the request's Host

    // The feed address with the host name replaced by the address.
    QUrl url() const;
};

// The endpoint of the feed address, when it is valid and every socket listening on its port at a
// loopback or wildcard address belongs to this user, and at least one does.
std::optional<EngineEndpoint> trustedEndpoint(const QUrl& feedUrl);

} // namespace cw
