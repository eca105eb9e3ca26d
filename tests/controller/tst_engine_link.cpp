// The link to the engine against real parts (probes serving on 127.0.0.1, probe engines recording their
// signals): the ping, what counts as a good poll, the time limit and the size cap, the panel kept
// responsive while large bodies are decoded, the failure count and the recovery it triggers, the lock.
// How the real cueview starts and leaves its engine is tst_cueview's part.

#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/Support.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace cw;
using namespace cw::test;
using Reply = FeedServer::Reply;

namespace {

const QByteArray kDocument = R"({"ok": true, "now": {"title": "Now"}, "next": [{"title": "A"}, {"title": "B"}]})";
constexpr qsizetype kNearCap = 16 * 1024 * 1024 - 64;

// item repeated, comma-separated, to fill about 16 MiB between prefix and suffix.
QByteArray filled(const QByteArray& prefix, const QByteArray& item, const QByteArray& suffix) {
    QByteArray body = prefix;
    for (qsizetype i = 0, n = (kNearCap - prefix.size() - suffix.size()) / (item.size() + 1); i < n; ++i)
        body += (i ? "," : "") + item;
    return body + suffix;
}

// A controller with its panel, a server, and the port file pointing at it. Its interpreter does not
// exist, so a recovery's restart starts nothing.
struct Rig {
    TestTree tree;
    FeedServer server;
    AppDelegate d;
    explicit Rig(const Reply& reply = {200, kDocument}, const QString& python = QStringLiteral("/no/python3"))
        : server((tree.install("en", python), reply)) {
        setPort(server.port());
        d.build();
    }
    void setPort(quint16 port) const { tree.write(tree.support() + QStringLiteral("/port"), QByteArray::number(port)); }
    // One refresh, judged; whether it was good. The longest stall of the main loop meanwhile (and while
    // a good document is applied) goes to *stallMs.
    bool pollOnce(qint64* stallMs = nullptr) {
        QElapsedTimer sinceTick;
        sinceTick.start();
        qint64 stall = 0;
        int ticks = 0;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [&] { stall = std::max(stall, sinceTick.restart()), ++ticks; });
        tick.start(10);
        QSignalSpy judged(&d, &AppDelegate::pollFinished);
        d.refresh();
        const bool good =
            (!judged.isEmpty() || judged.wait(20000)) && judged.count() == 1 && judged.at(0).at(0).toBool();
        // A document is applied through the main queue, after the verdict; a tick after it sees its stall.
        QCoreApplication::sendPostedEvents();
        const int before = ticks;
        if (stallMs && QTest::qWaitFor([&] { return ticks > before; }, 1000))
            *stallMs = stall;
        return good;
    }
};

} // namespace

class TestEngineLink : public QObject {
    Q_OBJECT
private slots:
    void ping_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("port"); // the port file's text; empty: the server's
        QTest::addColumn<bool>("up");
        QTest::newRow("200, not JSON") << Reply{200, "<html>starting</html>"} << QString() << true;
        QTest::newRow("503") << Reply{503, R"({"ok": true})"} << QString() << false;
        QTest::newRow("redirect") << Reply{301, ""} << QString() << false;
        QTest::newRow("silent") << Reply{200, "", "silent"} << QString() << false;
        // A port no address can carry is an engine that does not answer, nothing worse.
        QTest::newRow("above 65535") << Reply{} << "70000" << false;
    }
    void ping() {
        QFETCH(Reply, reply);
        QFETCH(QString, port);
        QFETCH(bool, up);
        Rig rig(reply);
        if (!port.isEmpty())
            rig.tree.write(rig.tree.support() + QStringLiteral("/port"), port.toUtf8());
        // The panel is frozen during a ping: no timer tick, poll or button action may run inside it.
        bool posted = false;
        const QObject scope;
        QTimer::singleShot(0, &scope, [&posted] { posted = true; });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.d.ping(), up);
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed()))); // 1 s, on a busy machine
        QVERIFY(!posted && (reply.mode != "silent" || clock.elapsed() >= 200));
        QTRY_VERIFY(posted);
        QCOMPARE(rig.server.requests(), int(port.isEmpty()));
        QVERIFY(port.isEmpty() == rig.server.lastHead().startsWith("GET /json HTTP/1.1\r\n"));
    }

    void terminateAfterTheEngineEndedOnItsOwn() {
        // The engine ends while the main thread runs no events (as during a ping); a terminate() that
        // follows must notice the exit instead of signalling a PID that is no longer our child.
        TestTree tree;
        Probes probes;
        probes.exportEnvironment({{"CW_PROBE_LIFETIME", "0.2"}});
        EngineProcess engine(pythonPath(), {probes.installEngine(tree.root() + QStringLiteral("/engine.py"))});
        const qint64 pid = engine.pid();
        for (QDeadlineTimer deadline(10000); processAlive(pid) && !deadline.hasExpired();)
            QThread::msleep(20);
        QVERIFY(!processAlive(pid) && engine.running()); // the handle has not heard of the exit yet
        engine.terminate();
        QVERIFY(!engine.running() && engine.pid() == 0 && probes.signalsOf(pid).isEmpty());
    }

    void recover_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<bool>("ownEngine"); // whether an engine of ours runs before
        QTest::addColumn<bool>("restart");
        QTest::newRow("answers 200") << Reply{200, "not even JSON"} << true << false;
        QTest::newRow("answers 503") << Reply{503, ""} << true << true;
        QTest::newRow("503, no engine of ours") << Reply{503, ""} << false << true;
    }
    void recover() {
        // Engines here record SIGTERM and stay, so a recover or a quit that waited for one would hang.
        QFETCH(Reply, reply);
        QFETCH(bool, ownEngine);
        QFETCH(bool, restart);
        Rig rig(reply, pythonPath());
        Probes probes;
        probes.installEngine(rig.tree.appDir() + QStringLiteral("/live_next.py"));
        probes.exportEnvironment({{"CW_PROBE_ON_TERM", "stay"}});
        if (ownEngine)
            rig.d.spawn();
        const qint64 old = ownEngine ? rig.d.pyProc()->pid() : 0;
        QTRY_COMPARE(probes.started().size(), int(ownEngine)); // its signal handlers are in place
        rig.d.recover();
        const qint64 current = rig.d.pyProc()->pid();
        QCOMPARE(current != old, restart);
        QTRY_VERIFY(probes.started().contains(current));
        if (old && restart) { // asked to stop and not waited for; the replaced handle ends nothing
            QTRY_COMPARE(probes.signalsOf(old), QStringList{"TERM"});
            QVERIFY(processAlive(old));
        }
        // Quitting asks the newest engine alone to stop, once, however often it is entered.
        rig.d.applicationWillTerminate();
        rig.d.applicationWillTerminate();
        QTRY_COMPARE(probes.signalsOf(current), QStringList{"TERM"});
        QVERIFY(!QTest::qWaitFor([&] { return probes.signalsOf(current).size() > 1; }, 300));
        QCOMPARE(probes.signalsOf(old).size(), int(ownEngine)); // from the recovery, or as the current one
    }

    void poll_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<bool>("good");
        QTest::addColumn<int>("fromMs"); // how long the verdict takes
        QTest::addColumn<int>("toMs");
        const auto row = [](const char* name, Reply reply, bool good, int fromMs = 0, int toMs = 1000) {
            QTest::newRow(name) << reply << good << fromMs << toMs;
        };
        // Any status will do: the body alone decides, and it must be complete.
        row("200 object", {200, kDocument, "respond", "Cache-Control: public, max-age=3600\r\nETag: \"v1\"\r\n"}, true);
        row("500 object", {500, kDocument}, true);
        row("301 object", {301, kDocument}, true);
        row("empty", {200, ""}, false);
        row("not JSON", {200, "<html>busy</html>"}, false);
        row("an array", {200, "[" + kDocument + "]"}, false);
        row("truncated", {200, kDocument.left(30)}, false);
        row("closed without a word", {200, "", "close"}, false);
        // Silence, a trickle (a byte every 0.4 s trips no inactivity limit) and a body that never ends
        // are cut by the 1.5 s deadline, whatever part of a document had arrived.
        row("silent", {200, "", "silent"}, false, 1200, 4000);
        row("trickle", {200, kDocument, "trickle", "", -1, 0.4}, false, 1200, 4000);
        row("unfinished", {200, kDocument, "unfinished"}, false, 1200, 4000);
        // The 16 MiB cap stops a body as it arrives, announced or not.
        row("declared over 16 MiB", {200, "", "endless", "", 17 * 1024 * 1024}, false);
        row("endless", {200, "", "endless"}, false);
        row("just under 16 MiB", {200, "{\"pad\":\"" + QByteArray(kNearCap - 32, 'a') + "\",\"ok\":true}"}, true, 0,
            3000);
    }
    void poll() {
        QFETCH(Reply, reply);
        QFETCH(bool, good);
        QFETCH(int, fromMs);
        QFETCH(int, toMs);
        Rig rig(reply);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.pollOnce(), good);
        QVERIFY2(clock.elapsed() >= fromMs && clock.elapsed() < toMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.d.failCount(), good ? 0 : 1);
        QCOMPARE(rig.d.everConnected(), good);
        QCOMPARE(rig.d.feed().fullNext.size(), good && reply.body == kDocument ? 2 : 0);
        // The cap holds as the body arrives: here the engine hands over some 35 MB before the poll ends,
        // where an unbounded read buffer let it hand over 90 MB and more.
        QTRY_VERIFY(rig.server.requests() >= 1 && rig.server.bodyBytesSent() >= 0);
        QVERIFY2(rig.server.bodyBytesSent() < 64 * 1024 * 1024,
                 qPrintable(QString::number(rig.server.bodyBytesSent())));
        if (good) { // every poll reaches the engine: nothing is cached
            QVERIFY(rig.pollOnce());
            QTRY_COMPARE(rig.server.requests(), 2);
            QVERIFY(rig.server.lastHead().startsWith("GET /json HTTP/1.1\r\n"));
            QVERIFY(!rig.server.lastHead().toLower().contains("if-none-match"));
        }
    }

    void largeBodiesKeepThePanelResponsive_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("maxStallMs");
        // 2.4 million objects in a list: most of a second to decode, off the main thread, and no document.
        QTest::newRow("decoding") << filled("[", R"({"a":0})", "]") << 300;
        // 5.6 million empty picks, the most a body under the cap holds: applied within a ping's second.
        QTest::newRow("applying") << filled(R"({"ok":true,"next":[)", "{}", "]}") << 1500;
    }
    void largeBodiesKeepThePanelResponsive() {
        QFETCH(QByteArray, body);
        QFETCH(int, maxStallMs);
        Rig rig({200, body});
        qint64 stall = 0;
        QCOMPARE(rig.pollOnce(&stall), body.startsWith('{'));
        QVERIFY2(stall < maxStallMs, qPrintable(QStringLiteral("main loop held for %1 ms").arg(stall)));
    }

    void failureRuns_data() {
        // G: a good poll; F: 200 with an empty body; N: 500 with text; X: nothing listens on the port;
        // L: a refresh while locked, which must send nothing and count for nothing.
        QTest::addColumn<QString>("polls");
        QTest::addColumn<int>("recoveries");
        QTest::addColumn<int>("failCount");
        QTest::newRow("third failure recovers") << "GFFF" << 1 << 0;
        QTest::newRow("count restarts after recovery") << "GFFFFFF" << 2 << 0;
        QTest::newRow("pairs between good polls") << "GFFGFFGFF" << 0 << 2;
        QTest::newRow("never answered") << "FFFFXXX" << 0 << 7;
        QTest::newRow("late engine that dies") << "XXGXXX" << 1 << 0;
        QTest::newRow("mixed failures") << "GNXF" << 1 << 0;
        QTest::newRow("locked refreshes between failures") << "GFLFLLF" << 1 << 0;
    }
    void failureRuns() {
        QFETCH(QString, polls);
        QFETCH(int, recoveries);
        QFETCH(int, failCount);
        Rig rig;
        QSignalSpy recovered(&rig.d, &AppDelegate::recovered);
        // recover() pings for up to a second and may start an engine: it is posted, never run inside the
        // judgement (the next poll's pollOnce lets it run, as the next tick would).
        qsizetype atVerdict = -1;
        connect(&rig.d, &AppDelegate::pollFinished, this, [&] { atVerdict = recovered.count(); });
        for (const QChar kind : polls) {
            if (kind == u'L') {
                const int requests = rig.server.requests();
                rig.d.toggleLock();
                QSignalSpy judged(&rig.d, &AppDelegate::pollFinished);
                rig.d.refresh();
                QVERIFY(!judged.wait(300));
                rig.d.toggleLock();
                QCOMPARE(rig.server.requests(), requests);
                continue;
            }
            rig.setPort(kind == u'X' ? FeedServer::unusedPort() : rig.server.port());
            rig.server.setReply(kind == u'G' ? Reply{200, kDocument}
                                             : Reply{kind == u'N' ? 500 : 200, kind == u'N' ? "Error" : ""});
            const qsizetype before = recovered.count();
            QCOMPARE(rig.pollOnce(), kind == u'G');
            QCOMPARE(atVerdict, before);
        }
        QCOMPARE(recovered.count(), recoveries);
        QCOMPARE(rig.d.failCount(), qint64(failCount));
    }
};

QTEST_MAIN(TestEngineLink)
#include "tst_engine_link.moc"
