#include "controller/EngineProcess.h"

#include "controller/Platform.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <algorithm>

namespace cw {

namespace {

// Long enough for an engine to save what it keeps and end; a hung one is not worth waiting for longer.
constexpr int kTermGraceMs = 2000;

// The engines asked to stop and not yet reaped (their QProcess goes once they end).
QList<QPointer<QProcess>>& stopping() {
    static QList<QPointer<QProcess>> processes;
    return processes;
}

// Like terminate(), an exit that happened while no events ran is collected first, so the signal only
// ever reaches our own unreaped child's group.
void killGroupOf(QProcess* process) {
    if (process->state() != QProcess::Running || process->waitForFinished(0))
        return;
    if (!killGroup(process->processId()))
        process->kill();
}

} // namespace

EngineProcess::EngineProcess(const QString& program, const QStringList& arguments) : m_process(new QProcess) {
    m_process->setProgram(program);
    m_process->setArguments(arguments);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->setStandardErrorFile(QProcess::nullDevice());
    m_process->setInputChannelMode(QProcess::ForwardedInputChannel);
    const qint64 panel = QCoreApplication::applicationPid();
    m_process->setChildProcessModifier([panel] { tieToParent(panel); });
    m_process->start();
    m_started = m_process->waitForStarted(-1);
}

EngineProcess::~EngineProcess() {
    if (!m_process)
        return;
    if (m_process->state() == QProcess::NotRunning) {
        delete m_process;
        return;
    }
    // The engine keeps running on its own. Its QProcess stays alive until the engine exits, so the
    // child is reaped (no zombie) and its destructor never kills it; at process exit it is simply
    // never destroyed.
    QProcess* orphan = m_process;
    QObject::connect(orphan, &QProcess::finished, orphan, &QObject::deleteLater);
    m_process = nullptr;
}

bool EngineProcess::started() const {
    return m_started;
}

bool EngineProcess::running() const {
    return m_process && m_process->state() == QProcess::Running;
}

qint64 EngineProcess::pid() const {
    return running() ? m_process->processId() : 0;
}

void EngineProcess::terminate() {
    if (!running())
        return;
    // An exit that happened while no events ran (during a ping, say) is collected first: the signal
    // then only ever reaches our own unreaped child, never a PID the system may have handed out again.
    if (m_process->waitForFinished(0))
        return;
    if (!terminateGroup(m_process->processId()))
        m_process->terminate();
    stopping().removeIf([](const QPointer<QProcess>& process) { return process.isNull(); });
    stopping().append(m_process);
    // The timer goes with the QProcess, which outlives this handle until the engine ends.
    QTimer::singleShot(kTermGraceMs, m_process, [process = m_process] { killGroupOf(process); });
}

void EngineProcess::killStragglers(int graceMs) {
    const QDeadlineTimer deadline(graceMs);
    for (const QPointer<QProcess>& process : std::as_const(stopping()))
        if (process && process->state() == QProcess::Running)
            process->waitForFinished(int(std::max<qint64>(deadline.remainingTime(), 0)));
    for (const QPointer<QProcess>& process : std::as_const(stopping()))
        if (process)
            killGroupOf(process);
}

} // namespace cw
