#pragma once
// What the tests (and a benchmark) share: a throw-away tree with settings installed for it, and probe
// engines (probe_engine.py) that a controller starts as its engine or that serve the feed as a test says.
// Main thread only; every process started here is ended here, by PID.

#include "config/Settings.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace cw::test {

inline const QString kProbe = QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/probe_engine.py");

inline const QString kPython = QStringLiteral("/usr/bin/python3");

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// pid is alive (a zombie is not) and, given a needle, its command line names it (a PID may be reused).
inline bool processAlive(qint64 pid, const QString& needle = QString()) {
    const QByteArray stat = pid > 0 ? readAll(QStringLiteral("/proc/%1/stat").arg(pid)) : QByteArray();
    const char state = stat.size() > stat.lastIndexOf(')') + 2 ? stat.at(stat.lastIndexOf(')') + 2) : 'X';
    return state != 'Z' && state != 'X' &&
           readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains(needle.toUtf8());
}

// A home and a resource directory under one temporary directory.
struct TestTree {
    QTemporaryDir dir;
    QString root() const { return dir.path(); }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString appDir() const { return root() + QStringLiteral("/app"); }
    QString support() const { return home() + QStringLiteral("/Library/Application Support/Crate Warden"); }
    // Parents made; returns path.
    QString write(const QString& path, const QByteArray& bytes) const {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(bytes);
        return path;
    }
    void install(const QString& lang = QStringLiteral("en"), const QString& python = kPython) const {
        QDir().mkpath(appDir());
        QProcessEnvironment env;
        env.insert(QStringLiteral("TRK_LANG"), lang);
        env.insert(QStringLiteral("TRK_PYTHON"), python);
        env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
        installSettings(computeSettings(StartupInputs{appDir(), home(), env, {QStringLiteral("en-US")}}));
    }
};

// The probes sharing one log directory; those still alive are killed when it goes.
class Probes {
public:
    ~Probes() {
        for (qint64 pid : started())
            if (processAlive(pid, QStringLiteral(".py")))
                ::kill(pid_t(pid), SIGKILL);
    }
    QString dir() const { return m_dir.path(); }
    // A copy of the probe at path; returns path.
    QString installEngine(const QString& path) const {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::copy(kProbe, path);
        return path;
    }
    // This process's environment with the log and only the given CW_PROBE_* and CW_CHAOS_* settings;
    // exportEnvironment puts them in this process's, for the engines a controller starts.
    QProcessEnvironment environment(const QHash<QString, QString>& settings = {}) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& name : env.keys())
            if (name.startsWith(QLatin1String("CW_PROBE_")) || name.startsWith(QLatin1String("CW_CHAOS_")))
                env.remove(name);
        env.insert(QStringLiteral("CW_PROBE_LOG"), dir());
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            env.insert(it.key(), it.value());
        return env;
    }
    void exportEnvironment(const QHash<QString, QString>& settings) const {
        const QProcessEnvironment env = environment(settings);
        for (const QString& name : QProcessEnvironment::systemEnvironment().keys() + env.keys())
            if (name.startsWith(QLatin1String("CW_")))
                env.contains(name) ? qputenv(name.toUtf8(), env.value(name).toUtf8()) : qunsetenv(name.toUtf8());
    }
    QList<qint64> started() const {
        QList<qint64> pids;
        for (const QString& name : QDir(dir()).entryList({QStringLiteral("*.start.json")}))
            pids.append(name.section(u'.', 0, 0).toLongLong());
        return pids;
    }
    QJsonObject start(qint64 pid) const {
        return QJsonDocument::fromJson(readAll(QStringLiteral("%1/%2.start.json").arg(dir()).arg(pid))).object();
    }
    QStringList signalsOf(qint64 pid) const { return lines(QStringLiteral("%1/%2.signals").arg(dir()).arg(pid)); }
    // See probe_engine.py.
    QList<QJsonObject> served() const {
        QList<QJsonObject> records;
        for (const QString& line : lines(dir() + QStringLiteral("/served")))
            records.append(QJsonDocument::fromJson(line.toUtf8()).object());
        return records;
    }

private:
    static QStringList lines(const QString& path) {
        return QString::fromUtf8(readAll(path)).split(u'\n', Qt::SkipEmptyParts);
    }
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
    explicit FeedServer(const Reply& reply, const QHash<QString, QString>& settings = {}) {
        setReply(reply);
        if (settings.contains("CW_PROBE_UID")) // that user keeps its records here too
            QFile::setPermissions(m_probes.dir(), QFile::Permissions(0x7777));
        QHash<QString, QString> all = settings;
        all.insert({{"CW_PROBE_SERVE", "file"}, {"CW_PROBE_LIFETIME", "600"}});
        m_process.setProcessEnvironment(m_probes.environment(all));
        m_process.start(kPython, {kProbe});
        const QString portFile = QStringLiteral("%1/%2.port").arg(m_probes.dir()).arg(m_process.processId());
        if (QTest::qWaitFor([&] { return QFile::exists(portFile); }, 10000))
            m_port = quint16(readAll(portFile).toUInt());
    }
    ~FeedServer() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    quint16 port() const { return m_port; }
    void setReply(const Reply& reply) const {
        const QJsonObject meta{{"status", reply.status},
                               {"mode", reply.mode},
                               {"headers", QString::fromLatin1(reply.headers)},
                               {"length", reply.length},
                               {"interval", reply.interval},
                               {"rotation", QJsonArray::fromStringList(reply.rotation)}};
        // The probe reads both at each request; each is replaced whole.
        for (const auto& [name, bytes] :
             {std::pair{"/reply.body", reply.body}, {"/reply.json", QJsonDocument(meta).toJson()}}) {
            QSaveFile file(m_probes.dir() + QLatin1String(name));
            if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
                file.commit();
        }
    }
    int requests() const {
        const QList<QJsonObject> served = m_probes.served();
        return int(
            std::count_if(served.cbegin(), served.cend(), [](const QJsonObject& r) { return r.contains("head"); }));
    }
    const Probes& probes() const { return m_probes; }
    static quint16 unusedPort() {
        QTcpServer listener;
        return listener.listen(QHostAddress::LocalHost) ? listener.serverPort() : 0;
    }

private:
    Probes m_probes;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace cw::test

Q_DECLARE_METATYPE(cw::test::FeedServer::Reply)
