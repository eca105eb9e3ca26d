#include "support/HttpTestServer.h"

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cw::test {

namespace {

constexpr int kSliceMs = 50;                              // how often blocked threads look at the stop flag
constexpr qint64 kEndlessCap = qint64(512) * 1024 * 1024; // even an endless body ends somewhere
constexpr int kClientPatienceMs = 10000;

// Waits up to ms for events on fd; true when one of them is set.
bool waitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms) > 0 && (p.revents & (events | POLLHUP | POLLERR));
}

// A stream socket bound to 127.0.0.1 at an ephemeral port, or -1; port receives the port.
int bindLoopback(quint16& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int on = 1;
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
        return fd;
    }
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// True when the peer has closed or the connection failed (a read would return 0 or a hard error).
bool peerGone(int fd, char* buffer, size_t size) {
    const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

} // namespace

HttpTestServer::Reply HttpTestServer::reply(Behaviour behaviour, int status, const QByteArray& body) {
    Reply r;
    r.behaviour = behaviour;
    r.status = status;
    r.body = body;
    return r;
}

HttpTestServer::HttpTestServer() {
    const int fd = bindLoopback(m_port);
    if (fd >= 0 && ::listen(fd, 64) == 0) {
        m_listenFd = fd;
        m_acceptor = std::thread([this] { acceptLoop(); });
    } else if (fd >= 0) {
        ::close(fd);
        m_port = 0;
    }
}

HttpTestServer::~HttpTestServer() {
    m_stop = true;
    if (m_acceptor.joinable())
        m_acceptor.join();
    // With the acceptor gone, nothing adds to the list any more.
    for (std::thread& t : m_connections)
        t.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

void HttpTestServer::setReply(const Reply& reply) {
    const std::lock_guard<std::mutex> guard(m_mutex);
    m_reply = reply;
}

void HttpTestServer::respond(int status, const QByteArray& body) {
    setReply(reply(Behaviour::Respond, status, body));
}

int HttpTestServer::requestCount() const {
    const std::lock_guard<std::mutex> guard(m_mutex);
    return int(m_heads.size());
}

QList<QByteArray> HttpTestServer::requestHeads() const {
    const std::lock_guard<std::mutex> guard(m_mutex);
    return m_heads;
}

quint16 HttpTestServer::unusedPort() {
    quint16 port = 0;
    const int fd = bindLoopback(port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

void HttpTestServer::acceptLoop() {
    while (!m_stop) {
        if (!waitFor(m_listenFd, POLLIN, kSliceMs))
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const std::lock_guard<std::mutex> guard(m_mutex);
        m_connections.emplace_back([this, fd] { serve(fd); });
    }
}

bool HttpTestServer::sendAll(int fd, const char* data, qint64 size, bool countAsBody) {
    const QDeadlineTimer deadline(kClientPatienceMs);
    qint64 done = 0;
    while (done < size) {
        if (m_stop || deadline.hasExpired())
            return false;
        if (!waitFor(fd, POLLOUT, kSliceMs))
            continue;
        const ssize_t n = ::send(fd, data + done, size_t(size - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return false;
        }
        done += n;
        if (countAsBody)
            m_bodyBytes += n;
    }
    return true;
}

void HttpTestServer::waitForClientToLeave(int fd, int maxMs) {
    const QDeadlineTimer deadline(maxMs);
    char buffer[4096];
    while (!m_stop && !deadline.hasExpired()) {
        if (waitFor(fd, POLLIN, kSliceMs) && peerGone(fd, buffer, sizeof buffer))
            return;
    }
}

void HttpTestServer::serve(int fd) {
    QByteArray head;
    const QDeadlineTimer headDeadline(kClientPatienceMs);
    char buffer[4096];
    while (!head.contains("\r\n\r\n")) {
        if (m_stop || headDeadline.hasExpired() || head.size() > 64 * 1024) {
            ::close(fd);
            return;
        }
        if (!waitFor(fd, POLLIN, kSliceMs))
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            ::close(fd);
            return;
        }
        if (n > 0)
            head.append(buffer, n);
    }
    Reply reply;
    {
        const std::lock_guard<std::mutex> guard(m_mutex);
        m_heads.append(head.left(head.indexOf("\r\n\r\n")));
        reply = m_reply;
    }

    // The reason phrase means nothing to the clients under test.
    QByteArray headers = "HTTP/1.1 " + QByteArray::number(reply.status) + (reply.status == 200 ? " OK" : " Status") +
                         "\r\nContent-Type: application/json\r\nConnection: close\r\n" + reply.extraHeaders;
    if (reply.behaviour == Behaviour::Respond)
        headers += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    if (reply.behaviour == Behaviour::Endless && reply.declaredLength >= 0)
        headers += "Content-Length: " + QByteArray::number(reply.declaredLength) + "\r\n";
    headers += "\r\n";
    const auto sendHeaders = [&] { return sendAll(fd, headers.constData(), headers.size(), false); };
    const auto sendBody = [&](const char* data, qint64 size) { return sendAll(fd, data, size, true); };

    switch (reply.behaviour) {
    case Behaviour::Respond:
        if (sendHeaders() && sendBody(reply.body.constData(), reply.body.size())) {
            ::shutdown(fd, SHUT_WR);
            waitForClientToLeave(fd, 2000);
        }
        break;
    case Behaviour::Silent:
        waitForClientToLeave(fd, kClientPatienceMs);
        break;
    case Behaviour::Unfinished:
        if (sendHeaders() && sendBody(reply.body.constData(), reply.body.size()))
            waitForClientToLeave(fd, kClientPatienceMs);
        break;
    case Behaviour::CloseAtOnce:
        break;
    case Behaviour::Trickle: {
        if (!sendHeaders())
            break;
        const QDeadlineTimer deadline(kClientPatienceMs);
        for (qsizetype i = 0; i < reply.body.size() && !m_stop && !deadline.hasExpired(); ++i) {
            if (!sendBody(reply.body.constData() + i, 1))
                break;
            // A readable socket here means the client closed (it sends nothing after its request).
            if (waitFor(fd, POLLIN, reply.trickleIntervalMs) && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0)
                break;
        }
        break;
    }
    case Behaviour::Endless: {
        const QByteArray chunk(64 * 1024, 'a');
        if (!sendHeaders() || !sendBody("{\"pad\":\"", 8))
            break;
        for (qint64 sent = 8; sent < kEndlessCap && sendBody(chunk.constData(), chunk.size());)
            sent += chunk.size();
        break;
    }
    }
    ::close(fd);
}

} // namespace cw::test
