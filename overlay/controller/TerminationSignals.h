#pragma once
// Turns SIGTERM, SIGINT and SIGHUP into a call on the main thread, so a desktop session that logs out
// (or a Ctrl-C) takes the same termination path as the close button. The handler itself only writes a
// byte to a socket pair; the work happens when the main loop reads it. One instance per process.

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace cw {

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(std::function<void()> onSignal, QObject* parent = nullptr);
    ~TerminationSignals() override;

private:
    void drain();

    std::function<void()> m_onSignal;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace cw
