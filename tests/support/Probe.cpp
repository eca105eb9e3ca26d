#include "support/Probe.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <csignal>

namespace cw::test {

namespace {

QByteArray shellQuote(const QString& text) {
    QByteArray quoted = text.toUtf8();
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

QString pythonPath() {
    // The system interpreter starts fastest; a shim from a version manager adds a shell per start.
    if (QFileInfo(QStringLiteral("/usr/bin/python3")).isExecutable())
        return QStringLiteral("/usr/bin/python3");
    return QStandardPaths::findExecutable(QStringLiteral("python3"));
}

bool processAlive(qint64 pid) {
    const QByteArray stat = pid > 0 ? readAll(QStringLiteral("/proc/%1/stat").arg(pid)) : QByteArray();
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() && stat.at(close + 2) != 'Z' && stat.at(close + 2) != 'X';
}

bool processRuns(qint64 pid, const QString& needle) {
    QByteArray cmdline = processAlive(pid) ? readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)) : QByteArray();
    return cmdline.replace('\0', ' ').contains(needle.toUtf8());
}

ProbeLog::ProbeLog() = default;

ProbeLog::~ProbeLog() {
    killAll();
}

QString ProbeLog::installEngine(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile::copy(QFileInfo(QStringLiteral(__FILE__)).absolutePath() + "/probe_engine.py", path);
    m_engines.append(path);
    return path;
}

QString ProbeLog::installInterpreter(const QString& path, const QHash<QString, QString>& probeEnv) {
    QByteArray text = "#!/bin/sh\nexport CW_PROBE_LOG=" + shellQuote(dir()) + "\n";
    for (auto it = probeEnv.cbegin(); it != probeEnv.cend(); ++it)
        text += "export " + it.key().toUtf8() + '=' + shellQuote(it.value()) + "\n";
    text += "printf '%s\\n' \"$@\" > \"$CW_PROBE_LOG/$$.interp.tmp\" && mv \"$CW_PROBE_LOG/$$.interp.tmp\" "
            "\"$CW_PROBE_LOG/$$.interp\"\n";
    text += "exec " + shellQuote(pythonPath()) + " \"$@\"\n";
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(text);
        file.close();
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    }
    return path;
}

QList<qint64> ProbeLog::pids() const {
    QList<qint64> result;
    for (const QString& name : QDir(dir()).entryList({QStringLiteral("*.start.json")}, QDir::Files))
        result.append(name.section(u'.', 0, 0).toLongLong());
    return result;
}

std::optional<ProbeRecord> ProbeLog::record(qint64 pid) const {
    const QJsonObject json =
        QJsonDocument::fromJson(readAll(QStringLiteral("%1/%2.start.json").arg(dir()).arg(pid))).object();
    if (json.isEmpty())
        return std::nullopt;
    ProbeRecord r;
    r.pid = json.value("pid").toInteger();
    r.ppid = json.value("ppid").toInteger();
    r.script = json.value("script").toString();
    r.cwd = json.value("cwd").toString();
    r.interpreterArgs = lines(QStringLiteral("%1.interp").arg(pid));
    for (const QJsonValue& arg : json.value("argv").toArray())
        r.argv.append(arg.toString());
    const QJsonObject env = json.value("env").toObject();
    for (auto it = env.begin(); it != env.end(); ++it)
        r.env.insert(it.key(), it.value().toString());
    return r;
}

QList<QStringList> ProbeLog::interpreterRuns() const {
    QList<QStringList> runs;
    for (const QString& name : QDir(dir()).entryList({QStringLiteral("*.interp")}, QDir::Files))
        runs.append(lines(name));
    return runs;
}

QStringList ProbeLog::signalsOf(qint64 pid) const {
    return lines(QStringLiteral("%1.signals").arg(pid));
}

QStringList ProbeLog::requestsOf(qint64 pid) const {
    return lines(QStringLiteral("%1.requests").arg(pid));
}

bool ProbeLog::ready(qint64 pid) const {
    return QFileInfo::exists(QStringLiteral("%1/%2.ready").arg(dir()).arg(pid));
}

void ProbeLog::killAll() {
    QList<qint64> killed;
    for (qint64 pid : pids()) {
        const bool ours = std::any_of(m_engines.cbegin(), m_engines.cend(),
                                      [pid](const QString& engine) { return processRuns(pid, engine); });
        if (ours && ::kill(pid_t(pid), SIGKILL) == 0)
            killed.append(pid);
    }
    // Bounded wait so the next test starts from a quiet machine; reaping is the parent's business.
    const QDeadlineTimer deadline(5000);
    for (qint64 pid : std::as_const(killed)) {
        while (processAlive(pid) && !deadline.hasExpired())
            QThread::msleep(10);
    }
}

QStringList ProbeLog::lines(const QString& fileName) const {
    return QString::fromUtf8(readAll(dir() + u'/' + fileName)).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace cw::test
