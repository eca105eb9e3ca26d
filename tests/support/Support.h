#pragma once
// What the tests (and a benchmark) share: a throw-away tree with settings installed for it, and probe
// engines (probe_engine.py) that a controller starts as its engine or that serve the feed as a test says.
// Main thread only; every process started here is ended here, by PID.

#include "config/Settings.h"

#include <QHash>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

namespace cw::test {

inline QString pythonPath() {
    return QStringLiteral("/usr/bin/python3");
}
QByteArray readAll(const QString& path);
// pid is alive (a zombie is not) and, given a needle, its command line names it (a PID may be reused).
bool processAlive(qint64 pid, const QString& needle = QString());

// A home and a resource directory under one temporary directory.
struct TestTree {
    QTemporaryDir dir;
    QString root() const { return dir.path(); }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString appDir() const { return root() + QStringLiteral("/app"); }
    QString support() const { return home() + QStringLiteral("/Library/Application Support/Crate Warden"); }
    QString write(const QString& path, const QByteArray& bytes) const; // parents made; returns path
    void install(const QString& lang = QStringLiteral("en"), const QString& python = pythonPath()) const;
};

// The probes sharing one log directory; those still alive are killed when it goes.
class Probes {
public:
    ~Probes();
    QString dir() const { return m_dir.path(); }
    QString installEngine(const QString& path) const; // a copy of the probe at path; returns path
    // This process's environment with the log and only the given CW_PROBE_* and CW_CHAOS_* settings;
    // exportEnvironment puts them in this process's, for the engines a controller starts.
    QProcessEnvironment environment(const QHash<QString, QString>& settings = {}) const;
    void exportEnvironment(const QHash<QString, QString>& settings) const;
    QList<qint64> started() const;
    QJsonObject start(qint64 pid) const;
    QStringList signalsOf(qint64 pid) const;
    QList<QJsonObject> served() const; // see probe_engine.py

private:
    QTemporaryDir m_dir;
};

// A probe serving the feed, on 127.0.0.1 unless its settings (CW_PROBE_*) say otherwise; every request
// gets the reply set last.
class FeedServer {
public:
    struct Reply { // mode: respond, silent, close, trickle, endless or unfinished (probe_engine.py)
        int status = 200;
        QByteArray body;
        QString mode = QStringLiteral("respond");
        QByteArray headers;    // further header lines, each ending in "\r\n"
        qint64 length = -1;    // endless: the Content-Length to announce
        double interval = 0.1; // trickle: seconds between bytes
        QStringList rotation;  // bodies to answer in turn instead of body
    };
    FeedServer();
    explicit FeedServer(const Reply& reply, const QHash<QString, QString>& settings = {});
    ~FeedServer();
    quint16 port() const { return m_port; }
    void setReply(const Reply& reply) const;
    int requests() const;
    const Probes& probes() const { return m_probes; }
    static quint16 unusedPort();

private:
    Probes m_probes;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace cw::test

Q_DECLARE_METATYPE(cw::test::FeedServer::Reply)
