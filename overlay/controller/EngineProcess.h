#pragma once
// The handle of one engine process started by the overlay. Main thread only.
//
// The engine must outlive its handle: replacing or destroying a handle (at exit included) never kills
// or waits for the engine, which is why this does not simply hold a QProcess by value (its destructor
// kills the child and waits). Terminating an engine that never started is harmless, and a handle never
// signals a PID after the child has been reaped, since QProcess only signals its own running child.
//
// The engine never outlives the panel, though: it leads a process group of its own and is sent SIGTERM
// when the panel ends, however it ends (Platform.h), and terminate() asks the whole group, so whatever
// the engine started is asked too. An engine that hangs and ignores SIGTERM is killed (SIGKILL to its
// group) once its grace has run out, or at quit, so none piles up beside its replacements or outlives
// the panel.

#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;

namespace cw {

class EngineProcess {
public:
    // Starts program with arguments, output and errors to the null device, environment and working
    // directory inherited. A failed start leaves a handle that never ran.
    EngineProcess(const QString& program, const QStringList& arguments);
    ~EngineProcess();
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    bool started() const;
    bool running() const;
    // The child's PID while it runs, 0 otherwise.
    qint64 pid() const;
    // SIGTERM to the child's process group when the child still runs, and SIGKILL to the group should the
    // child still run two seconds later, whatever became of this handle meanwhile; no wait.
    void terminate();
    // At quit, for every engine terminate() was called for and that still runs: at most graceMs for them
    // to end, then SIGKILL to the groups of those that did not. Returns as soon as all have ended.
    static void killStragglers(int graceMs);

private:
    QProcess* m_process = nullptr;
    bool m_started = false;
};

} // namespace cw
