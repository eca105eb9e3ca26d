#include "support/EngineRig.h"

#include <QTest>

namespace cw::test {

EngineRig::EngineRig(const QHash<QString, QString>& probeEnv) {
    m_script = probes.installEngine(tree.appDir() + QStringLiteral("/live_next.py"));
    m_interpreter = probes.installInterpreter(tree.root() + QStringLiteral("/bin/python3"), probeEnv);
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_PYTHON"), m_interpreter);
    tree.install(env);
}

const Settings& EngineRig::settings() const {
    return cw::settings();
}

void EngineRig::setProbeEnv(const QHash<QString, QString>& probeEnv) {
    probes.installInterpreter(m_interpreter, probeEnv);
}

void EngineRig::setPort(quint16 port) {
    setPortText(QByteArray::number(port));
}

void EngineRig::setPortText(const QByteArray& text) {
    tree.write(settings().SUPPORT + QStringLiteral("/port"), text);
}

QList<qint64> EngineRig::waitForProbes(int n, int timeoutMs) {
    [[maybe_unused]] const bool reached = QTest::qWaitFor([&] { return probes.pids().size() >= n; }, timeoutMs);
    return probes.pids();
}

} // namespace cw::test
