#include "controller/EngineProcess.h"

#include "controller/Platform.h"

#include <QCoreApplication>
#include <QProcess>

namespace cw {

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
}

} // namespace cw
