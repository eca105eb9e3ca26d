#pragma once
// A tiny HTTP server on 127.0.0.1 at an ephemeral port, standing in for the engine's feed.
//
// It runs on its own threads (one accepting, one per connection) with plain blocking sockets, so it
// keeps answering while the test's main thread is blocked, as it is during a ping. Every connection
// gets the reply configured at the moment its request arrived. All methods are thread-safe; the
// destructor stops and joins every thread.

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace cw::test {

class HttpTestServer {
public:
    enum class Behaviour {
        Respond,     // status line, headers, body, close
        Silent,      // read the request, then say nothing until the client gives up
        CloseAtOnce, // read the request, then close without a word
        Trickle,     // headers at once, then the body one byte per interval
        Endless,     // headers (optionally with a declared length), then body bytes until the client leaves
        Unfinished,  // headers without a length and the whole body, then silence until the client leaves
    };
    struct Reply {
        Behaviour behaviour = Behaviour::Respond;
        int status = 200;
        QByteArray body;
        // Further header lines, each ending in "\r\n".
        QByteArray extraHeaders;
        // Endless only: the Content-Length to announce, or -1 for none.
        qint64 declaredLength = -1;
        // Trickle only.
        int trickleIntervalMs = 100;
    };

    static Reply reply(Behaviour behaviour, int status = 200, const QByteArray& body = {});

    HttpTestServer();
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    bool listening() const { return m_listenFd >= 0; }
    quint16 port() const { return m_port; }

    void setReply(const Reply& reply);
    void respond(int status, const QByteArray& body);

    // Requests whose head arrived completely, in arrival order.
    int requestCount() const;
    QList<QByteArray> requestHeads() const;
    // Body bytes handed to the kernel over all connections (Endless and Trickle included).
    qint64 bodyBytesSent() const { return m_bodyBytes.load(); }

    // A loopback port that nothing listens on right now (bound, read and released).
    static quint16 unusedPort();

private:
    void acceptLoop();
    void serve(int fd);
    bool sendAll(int fd, const char* data, qint64 size, bool countAsBody);
    void waitForClientToLeave(int fd, int maxMs);

    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_bodyBytes{0};
    mutable std::mutex m_mutex;
    Reply m_reply;
    QList<QByteArray> m_heads;
    std::vector<std::thread> m_connections;
    std::thread m_acceptor;
};

} // namespace cw::test

// Replies travel through data-driven test tables.
Q_DECLARE_METATYPE(cw::test::HttpTestServer::Reply)
