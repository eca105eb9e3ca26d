#pragma once
// A resource tree wired for engine tests: the engine script is a probe, PY is the probe's fake
// interpreter, settings are installed for the tree, and the port file can be pointed anywhere.
// Main thread only.

#include "support/Probe.h"
#include "support/TestTree.h"

#include <QHash>

namespace cw::test {

class EngineRig {
public:
    explicit EngineRig(const QHash<QString, QString>& probeEnv = {});

    TestTree tree;
    ProbeLog probes;

    QString script() const { return m_script; }
    QString interpreter() const { return m_interpreter; }
    const Settings& settings() const;

    // Rewrites the fake interpreter so engines started from now on get these CW_PROBE_* settings.
    void setProbeEnv(const QHash<QString, QString>& probeEnv);
    void setPort(quint16 port);
    void setPortText(const QByteArray& text);

    // Runs the event loop until at least n probes have written their start record (or timeoutMs
    // passes); returns the PIDs of all probes started so far, in no particular order.
    QList<qint64> waitForProbes(int n, int timeoutMs = 10000);

private:
    QString m_script;
    QString m_interpreter;
};

} // namespace cw::test
