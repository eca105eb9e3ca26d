#pragma once
// Probe engines: child processes that write down how they were started (arguments, working directory,
// environment, parent) and every termination signal they receive, so tests can check what the overlay
// did to its engine from the outside. See probe_engine.py for the files one probe leaves.
//
// A ProbeLog owns a temporary log directory. It installs the probe as an engine script and a fake
// interpreter (a shell script that records its own arguments and then becomes the real Python, same
// PID). Its destructor kills, by PID, any of its probes still alive, so no test leaves one behind.

#include <QHash>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

namespace cw::test {

// The real interpreter the probes run on.
QString pythonPath();

struct ProbeRecord {
    qint64 pid = 0;
    qint64 ppid = 0;
    QStringList argv; // the interpreter's full argument list
    QString script;   // the script path the interpreter ran
    QString cwd;
    QHash<QString, QString> env;
    QStringList interpreterArgs; // what the fake interpreter was given; empty when it was not used
};

class ProbeLog {
public:
    ProbeLog();
    ~ProbeLog();
    ProbeLog(const ProbeLog&) = delete;
    ProbeLog& operator=(const ProbeLog&) = delete;

    QString dir() const { return m_dir.path(); }

    // Copies the probe engine to path (e.g. <app dir>/live_next.py) and returns path.
    QString installEngine(const QString& path);
    // Writes an executable fake interpreter at path. It exports the log directory and the given
    // CW_PROBE_* settings to the probe, records its arguments and then execs the real Python.
    QString installInterpreter(const QString& path, const QHash<QString, QString>& probeEnv = {});

    // Probes that have written their start record, in no particular order.
    QList<qint64> pids() const;
    std::optional<ProbeRecord> record(qint64 pid) const;
    // Fake-interpreter runs (probe or not), each as its argument list.
    QList<QStringList> interpreterRuns() const;

    QStringList signalsOf(qint64 pid) const;
    QStringList requestsOf(qint64 pid) const;
    bool ready(qint64 pid) const;

    // SIGKILL to every probe of this log that is still alive (checked against its command line first).
    void killAll();

private:
    QStringList lines(const QString& fileName) const;

    QTemporaryDir m_dir;
    QStringList m_engines;
};

// True while pid names a live process (a zombie counts as gone).
bool processAlive(qint64 pid);
// True when pid is alive and its command line mentions needle (guards against signalling a reused PID).
bool processRuns(qint64 pid, const QString& needle);

} // namespace cw::test
