#include "support/Support.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
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
} // namespace

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool processAlive(qint64 pid, const QString& needle) {
    const QByteArray stat = pid > 0 ? readAll(QStringLiteral("/proc/%1/stat").arg(pid)) : QByteArray();
    const char state = stat.size() > stat.lastIndexOf(')') + 2 ? stat.at(stat.lastIndexOf(')') + 2) : 'X';
    return state != 'Z' && state != 'X' &&
           readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains(needle.toUtf8());
}

QString TestTree::write(const QString& path, const QByteArray& bytes) const {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return path;
}

void TestTree::install(const QString& lang, const QString& python) const {
    QDir().mkpath(appDir());
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_LANG"), lang);
    env.insert(QStringLiteral("TRK_PYTHON"), python);
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    installSettings(computeSettings(StartupInputs{appDir(), home(), env, {QStringLiteral("en-US")}}));
}

Probes::~Probes() {
    for (qint64 pid : started())
        if (processAlive(pid, QStringLiteral(".py")))
            ::kill(pid_t(pid), SIGKILL);
}

QString Probes::installEngine(const QString& path) const {
    QDir().mkpath(QFileInfo(path).absolutePath());
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
    for (const QString& name : QProcessEnvironment::systemEnvironment().keys() + env.keys())
        if (name.startsWith(QLatin1String("CW_")))
            env.contains(name) ? qputenv(name.toUtf8(), env.value(name).toUtf8()) : qunsetenv(name.toUtf8());
}

QList<qint64> Probes::started() const {
    QList<qint64> pids;
    for (const QString& name : QDir(dir()).entryList({QStringLiteral("*.start.json")}))
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

FeedServer::FeedServer() : FeedServer(Reply()) {}

FeedServer::FeedServer(const Reply& reply, const QHash<QString, QString>& settings) {
    setReply(reply);
    if (settings.contains("CW_PROBE_UID")) // that user keeps its records here too
        QFile::setPermissions(m_probes.dir(), QFile::Permissions(0x7777));
    QHash<QString, QString> all = settings;
    all.insert({{"CW_PROBE_SERVE", "file"}, {"CW_PROBE_LIFETIME", "600"}});
    m_process.setProcessEnvironment(m_probes.environment(all));
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

int FeedServer::requests() const {
    const QList<QJsonObject> served = m_probes.served();
    return int(std::count_if(served.cbegin(), served.cend(), [](const QJsonObject& r) { return r.contains("head"); }));
}

quint16 FeedServer::unusedPort() {
    QTcpServer listener;
    return listener.listen(QHostAddress::LocalHost) ? listener.serverPort() : 0;
}

} // namespace cw::test
