// The link to the engine process: is it up (ping), start one (spawn), restart a silent one (recover).
// All on the main thread. A ping, like a poll, goes only to an engine of this user's (EngineEndpoint.h).

#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "controller/EngineEndpoint.h"
#include "controller/EngineProcess.h"

#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>

namespace cw {

namespace {

constexpr int kPingWaitMs = 1000;   // the longest a ping may hold the panel
constexpr int kPingRequestMs = 600; // the request's own time-out: silence this long means down

// One HTTP GET on a blocking socket, judged on its status line alone. The socket's blocking waits run
// no events, so no timer tick, poll or button action slips in while the panel waits.
bool statusIs200(const EngineEndpoint& engine) {
    QDeadlineTimer overall(kPingWaitMs);
    const auto waitMs = [&overall] { return int(std::min<qint64>(overall.remainingTime(), kPingRequestMs)); };

    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(engine.address, engine.port);
    if (!socket.waitForConnected(waitMs()))
        return false;
    const QByteArray request = "GET " + engine.url().path(QUrl::FullyEncoded).toLatin1() +
                               " HTTP/1.1\r\nHost: " + engine.host + "\r\nConnection: close\r\n\r\n";
    socket.write(request);
    QByteArray head;
    while (!head.contains("\r\n") && head.size() < 1024) {
        if (overall.hasExpired())
            return false;
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(waitMs()))
            return false;
        head += socket.read(1024 - head.size());
    }
    const QList<QByteArray> parts = head.left(head.indexOf("\r\n")).split(' ');
    return parts.size() >= 2 && parts[0].startsWith("HTTP/") && parts[1] == "200";
}

} // namespace

bool AppDelegate::ping() {
    // Another user's listener on the port counts as no engine: then ours is started, on a port of its own.
    const std::optional<EngineEndpoint> engine = trustedEndpoint(JSON_URL());
    return engine && statusIs200(*engine);
}

void AppDelegate::spawn() {
    // Replacing the handle leaves the previous engine running; recover() has already asked it to stop.
    m_pyProc = std::make_unique<EngineProcess>(settings().PY, QStringList{settings().SCRIPT});
}

void AppDelegate::recover() {
    if (!ping()) {
        if (m_pyProc)
            m_pyProc->terminate();
        spawn();
    }
    emit recovered();
}

} // namespace cw
