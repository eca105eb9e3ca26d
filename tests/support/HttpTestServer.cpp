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

QByteArray reasonFor(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Waits up to ms for events on fd; true when one of them is set.
bool waitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, ms);
    return n > 0 && (p.revents & (events | POLLHUP | POLLERR));
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
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    m_listenFd = fd;
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    m_stop = true;
    if (m_acceptor.joinable())
        m_acceptor.join();
    std::vector<std::thread> connections;
    {
        const std::lock_guard<std::mutex> guard(m_mutex);
        connections.swap(m_connections);
    }
    for (std::thread& t : connections)
        t.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

void HttpTestServer::setReply(const Reply& reply) {
    const std::lock_guard<std::mutex> guard(m_mutex);
    m_reply = reply;
}

void HttpTestServer::respond(int status, const QByteArray& body) {
    Reply reply;
    reply.status = status;
    reply.body = body;
    setReply(reply);
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
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
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
        if (!waitFor(fd, POLLIN, kSliceMs))
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
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

    QByteArray headers = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonFor(reply.status) +
                         "\r\nContent-Type: application/json\r\nConnection: close\r\n" + reply.extraHeaders;
    switch (reply.behaviour) {
    case Behaviour::Respond:
        headers += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n\r\n";
        if (sendAll(fd, headers.constData(), headers.size(), false) &&
            sendAll(fd, reply.body.constData(), reply.body.size(), true)) {
            ::shutdown(fd, SHUT_WR);
            waitForClientToLeave(fd, 2000);
        }
        break;
    case Behaviour::Silent:
        waitForClientToLeave(fd, kClientPatienceMs);
        break;
    case Behaviour::Unfinished:
        headers += "\r\n";
        if (sendAll(fd, headers.constData(), headers.size(), false) &&
            sendAll(fd, reply.body.constData(), reply.body.size(), true))
            waitForClientToLeave(fd, kClientPatienceMs);
        break;
    case Behaviour::CloseAtOnce:
        break;
    case Behaviour::Trickle: {
        headers += "\r\n";
        if (!sendAll(fd, headers.constData(), headers.size(), false))
            break;
        const QDeadlineTimer deadline(kClientPatienceMs);
        for (qsizetype i = 0; i < reply.body.size() && !m_stop && !deadline.hasExpired(); ++i) {
            if (!sendAll(fd, reply.body.constData() + i, 1, true))
                break;
            // A readable socket here means the client closed (it sends nothing after its request).
            if (waitFor(fd, POLLIN, reply.trickleIntervalMs)) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0)
                    break;
            }
        }
        break;
    }
    case Behaviour::Endless: {
        if (reply.declaredLength >= 0)
            headers += "Content-Length: " + QByteArray::number(reply.declaredLength) + "\r\n";
        headers += "\r\n";
        if (!sendAll(fd, headers.constData(), headers.size(), false))
            break;
        const QByteArray chunk(64 * 1024, 'a');
        if (!sendAll(fd, "{\"pad\":\"", 8, true))
            break;
        qint64 sent = 8;
        while (sent < kEndlessCap && sendAll(fd, chunk.constData(), chunk.size(), true))
            sent += chunk.size();
        break;
    }
    }
    ::close(fd);
}

} // namespace cw::test
