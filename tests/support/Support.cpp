#include "support/Support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTcpServer>
#include <QTest>

#include <csignal>

namespace cw::test {

namespace {
const QString kProbe = QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/probe_engine.py");

QStringList lines(const QString& path) {
    return QString::fromUtf8(readAll(path)).split(u'\n', Qt::SkipEmptyParts);
}

// A reader sees the old content or the new, never half of one.
void writeWhole(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        file.commit();
}
} // namespace

QString pythonPath() {
    return QStringLiteral("/usr/bin/python3");
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool processAlive(qint64 pid, const QString& needle) {
    const QByteArray stat = pid > 0 ? readAll(QStringLiteral("/proc/%1/stat").arg(pid)) : QByteArray();
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size() || stat.at(close + 2) == 'Z' || stat.at(close + 2) == 'X')
        return false;
    return needle.isEmpty() || readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains(needle.toUtf8());
}

TestTree::TestTree() {
    QDir().mkpath(home());
    QDir().mkpath(appDir());
}

QString TestTree::write(const QString& path, const QByteArray& bytes) const {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return path;
}

const Settings& TestTree::install(const QString& lang, const QString& python, const QStringList& preferred) const {
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_LANG"), lang);
    env.insert(QStringLiteral("TRK_PYTHON"), python);
    installSettings(computeSettings(StartupInputs{appDir(), home(), env, preferred}));
    return settings();
}

Probes::Probes() = default;

Probes::~Probes() {
    killAll();
}

QString Probes::installEngine(const QString& path) const {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile::copy(kProbe, path);
    return path;
}

QProcessEnvironment Probes::environment(const QHash<QString, QString>& settings) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& name : env.keys())
        if (name.startsWith(QLatin1String("CW_PROBE_")) || name.startsWith(QLatin1String("CW_CHAOS_")))
            env.remove(name);
    env.insert(QStringLiteral("CW_PROBE_LOG"), dir());
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

void Probes::exportEnvironment(const QHash<QString, QString>& settings) const {
    const QProcessEnvironment env = environment(settings);
    for (const QString& name : QProcessEnvironment::systemEnvironment().keys())
        if (name.startsWith(QLatin1String("CW_")) && !env.contains(name))
            qunsetenv(name.toUtf8());
    for (const QString& name : env.keys())
        if (name.startsWith(QLatin1String("CW_")))
            qputenv(name.toUtf8(), env.value(name).toUtf8());
}

QList<qint64> Probes::started() const {
    QList<qint64> pids;
    for (const QString& name : QDir(dir()).entryList({QStringLiteral("*.start.json")}, QDir::Files))
        pids.append(name.section(u'.', 0, 0).toLongLong());
    return pids;
}

QJsonObject Probes::start(qint64 pid) const {
    return QJsonDocument::fromJson(readAll(QStringLiteral("%1/%2.start.json").arg(dir()).arg(pid))).object();
}

QStringList Probes::signalsOf(qint64 pid) const {
    return lines(QStringLiteral("%1/%2.signals").arg(dir()).arg(pid));
}

QList<QJsonObject> Probes::served() const {
    QList<QJsonObject> records;
    for (const QString& line : lines(dir() + QStringLiteral("/served")))
        records.append(QJsonDocument::fromJson(line.toUtf8()).object());
    return records;
}

QList<qint64> Probes::waitForStarted(int n, int timeoutMs) const {
    [[maybe_unused]] const bool reached = QTest::qWaitFor([&] { return started().size() >= n; }, timeoutMs);
    return started();
}

void Probes::killAll() const {
    for (qint64 pid : started()) {
        if (processAlive(pid, QStringLiteral(".py")))
            ::kill(pid_t(pid), SIGKILL);
    }
}

FeedServer::FeedServer() : FeedServer(Reply()) {}

FeedServer::FeedServer(const Reply& reply) {
    setReply(reply);
    m_process.setProcessEnvironment(
        m_probes.environment({{QStringLiteral("CW_PROBE_SERVE"), QStringLiteral("file")},
                              {QStringLiteral("CW_PROBE_LIFETIME"), QStringLiteral("600")}}));
    m_process.start(pythonPath(), {kProbe});
    const QString portFile = QStringLiteral("%1/%2.port").arg(m_probes.dir()).arg(m_process.processId());
    if (QTest::qWaitFor([&] { return QFile::exists(portFile); }, 10000))
        m_port = quint16(readAll(portFile).toUInt());
}

FeedServer::~FeedServer() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

void FeedServer::setReply(const Reply& reply) const {
    writeWhole(m_probes.dir() + QStringLiteral("/reply.body"), reply.body);
    const QJsonObject meta{{"status", reply.status},
                           {"mode", reply.mode},
                           {"headers", QString::fromLatin1(reply.headers)},
                           {"length", reply.length},
                           {"interval", reply.interval}};
    writeWhole(m_probes.dir() + QStringLiteral("/reply.json"), QJsonDocument(meta).toJson());
}

int FeedServer::requests() const {
    int n = 0;
    for (const QJsonObject& record : m_probes.served())
        n += record.contains(QLatin1String("head"));
    return n;
}

QByteArray FeedServer::lastHead() const {
    QByteArray head;
    for (const QJsonObject& record : m_probes.served())
        if (record.contains(QLatin1String("head")))
            head = record.value(QLatin1String("head")).toString().toLatin1();
    return head;
}

qint64 FeedServer::bodyBytesSent() const {
    qint64 sent = 0;
    for (const QJsonObject& record : m_probes.served())
        sent += record.value(QLatin1String("sent")).toInteger();
    return sent;
}

quint16 FeedServer::unusedPort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

} // namespace cw::test
