#pragma once
// What the tests (and the benchmarks) share: a throw-away tree with settings installed for it, probe
// engines (probe_engine.py) started by the overlay or run as the feed's HTTP server on 127.0.0.1, and
// looks at processes by PID. Main thread only; every process started here is ended here, by PID.

#include "config/Settings.h"

#include <QHash>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

namespace cw::test {

QString pythonPath();
QByteArray readAll(const QString& path);
// pid is alive (a zombie is not); with a needle, its command line also mentions it, which guards
// against signalling a PID that was reused.
bool processAlive(qint64 pid, const QString& needle = QString());

// A home and a resource directory under one temporary directory, removed with it.
class TestTree {
public:
    TestTree();
    QString root() const { return m_dir.path(); }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString appDir() const { return root() + QStringLiteral("/app"); }
    QString support() const { return home() + QStringLiteral("/Library/Application Support/Crate Warden"); }
    // Writes bytes to path (parents made) and returns path.
    QString write(const QString& path, const QByteArray& bytes) const;
    // Computes and installs the settings for this tree: TRK_LANG lang, preferred languages `preferred`.
    const Settings& install(const QString& lang = QStringLiteral("en"), const QString& python = pythonPath(),
                            const QStringList& preferred = {QStringLiteral("en-US")}) const;

private:
    QTemporaryDir m_dir;
};

// The records of the probe engines that share one log directory. Its destructor kills, by PID, every
// probe of the log still alive.
class Probes {
public:
    Probes();
    ~Probes();
    QString dir() const { return m_dir.path(); }
    // Copies the probe engine to path (say <app dir>/live_next.py) and returns path.
    QString installEngine(const QString& path) const;
    // This process's environment with the probe's settings: the log, and only the given CW_PROBE_* and
    // CW_CHAOS_* settings.
    QProcessEnvironment environment(const QHash<QString, QString>& settings = {}) const;
    // Sets that environment on this process, for the engines the controller starts.
    void exportEnvironment(const QHash<QString, QString>& settings = {}) const;
    QList<qint64> started() const;
    QJsonObject start(qint64 pid) const;
    QStringList signalsOf(qint64 pid) const;
    // The "served" records in order (see probe_engine.py).
    QList<QJsonObject> served() const;
    QList<qint64> waitForStarted(int n, int timeoutMs = 10000) const;
    void killAll() const;

private:
    QTemporaryDir m_dir;
};

// A probe engine run as the feed's HTTP server on 127.0.0.1: every request gets the reply set last.
class FeedServer {
public:
    // Modes of probe_engine.py: respond, silent, close, trickle, endless, unfinished, midbody.
    struct Reply {
        int status = 200;
        QByteArray body;
        QString mode = QStringLiteral("respond");
        QByteArray headers;    // further header lines, each ending in "\r\n"
        qint64 length = -1;    // endless: the Content-Length to announce
        double interval = 0.1; // trickle: seconds between bytes
    };
    FeedServer();
    explicit FeedServer(const Reply& reply);
    ~FeedServer();
    quint16 port() const { return m_port; }
    void setReply(const Reply& reply) const;
    void respond(int status, const QByteArray& body) const { setReply({status, body}); }
    int requests() const;
    QByteArray lastHead() const;
    // Body bytes handed over in the answers finished so far.
    qint64 bodyBytesSent() const;
    // A loopback port that nothing listens on now.
    static quint16 unusedPort();
    const Probes& probes() const { return m_probes; }

private:
    Probes m_probes;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace cw::test

Q_DECLARE_METATYPE(cw::test::FeedServer::Reply)
