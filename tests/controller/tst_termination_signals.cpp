// Termination signals become a call on the main loop, never work inside the signal handler.

#include "controller/TerminationSignals.h"

#include <QTest>

#include <csignal>

using namespace cw;

namespace {

void (*handlerOf(int sig))(int) {
    struct sigaction current = {};
    ::sigaction(sig, nullptr, &current);
    return current.sa_handler;
}

} // namespace

class TestTerminationSignals : public QObject {
    Q_OBJECT
private slots:
    void signalReachesTheLoop_data() {
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void signalReachesTheLoop() {
        QFETCH(int, sig);
        // Whatever the process did with the signal before is what it does again afterwards.
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        struct sigaction original = {};
        ::sigaction(sig, &ignore, &original);
        int calls = 0;
        {
            TerminationSignals termination([&calls] { ++calls; });
            QVERIFY(handlerOf(sig) != SIG_IGN && handlerOf(sig) != SIG_DFL);
            ::raise(sig);
            QCOMPARE(calls, 0); // nothing ran inside the handler
            QTRY_COMPARE(calls, 1);
            ::raise(sig);
            QTRY_COMPARE(calls, 2);
            QTest::qWait(100);
            QCOMPARE(calls, 2);
        }
        QVERIFY(handlerOf(sig) == SIG_IGN);
        ::sigaction(sig, &original, nullptr);
    }
};

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_termination_signals.moc"
