// The link to the engine against probes serving on the loopback, some as another user: who is asked at all,
// the ping and the launch, what counts as a good poll, its time limit and size cap, the panel kept
// responsive meanwhile, the failure count and the recovery it triggers, the lock.

#include "controller/AppDelegate.h"
#include "controller/EngineProcess.h"
#include "support/Support.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <unistd.h>

using namespace cw;
using namespace cw::test;
using Reply = FeedServer::Reply;

namespace {

const QByteArray kDocument = R"({"ok": true, "now": {"title": "Now"}, "next": [{"title": "A"}, {"title": "B"}]})";
const QByteArray kReport = R"({"available": true, "url": "https://example.invalid/get"})";

// A ping: our engine's reply; where another user listens (on our port when it can); the ping's answer (a
// 200 status, whatever the body) and the poll's (a JSON object, whatever the status); where our engine
// listens (an address, or address@port); the port file's text (empty: the stranger's port, else ours).
struct PingCase {
    Reply reply;
    QString stranger;
    bool up, polled;
    QString ours = QStringLiteral("127.0.0.1"), portFile;
};

// A poll: the reply, whether it is good, and how long the verdict takes.
struct PollCase {
    Reply reply;
    bool good;
    int fromMs = 0, toMs = 1000;
};

// A controller with its panel, a server (where the probe settings say), and the port file pointing at
// it. Its interpreter is named bare (found in PATH once); with no engine script, a restart starts one
// that ends at once. The update check reports an update in UTF-16, which the one decoder reads.
struct Rig {
    TestTree tree;
    FeedServer server;
    AppDelegate d;
    explicit Rig(const Reply& reply = {200, kDocument}, const QHash<QString, QString>& at = {})
        : server((tree.install("en", QStringLiteral("python3")), reply), at) {
        setPort(QByteArray::number(server.port()));
        tree.write(tree.appDir() + QStringLiteral("/update_check.py"),
                   "import sys\nsys.stdout.buffer.write('" + kReport + "'.encode('utf-16'))\n");
        d.build();
    }
    void setPort(const QByteArray& text) const { tree.write(tree.support() + QStringLiteral("/port"), text); }
    // The longest stall of the main loop during the last pollOnce (and while its document was applied).
    qint64 stallMs = 0;
    // One refresh, judged; whether it was good. holdMs: the main loop held at the first bytes, as a ping holds it.
    bool pollOnce(int holdMs = 0) {
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
        if (auto* reply = holdMs ? d.findChild<QNetworkReply*>() : nullptr)
            QObject::connect(
                reply, &QNetworkReply::readyRead, reply, [holdMs] { QThread::msleep(holdMs); },
                Qt::SingleShotConnection);
        const bool good =
            (!judged.isEmpty() || judged.wait(20000)) && judged.count() == 1 && judged.at(0).at(0).toBool();
        // A document is applied through the main queue, after the verdict; a tick after it sees its stall.
        QCoreApplication::sendPostedEvents();
        const int before = ticks;
        stallMs = QTest::qWaitFor([&] { return ticks > before; }, 1000) ? stall : -1;
        return good;
    }
};

} // namespace
Q_DECLARE_METATYPE(PingCase)
Q_DECLARE_METATYPE(PollCase)

class TestEngineLink : public QObject {
    Q_OBJECT
private slots:
    void ping_data() {
        QTest::addColumn<PingCase>("c");
        const auto row = [](const char* name, const PingCase& c) { QTest::newRow(name) << c; };
        row("200, not JSON", {{200, "<html>starting</html>"}, "", true, false});
        row("503 object", {{503, kDocument}, "", false, true});
        row("silent", {{200, "", "silent"}, "", false, false});
        row("ours on ::1 alone", {{200, kDocument}, "", true, true, "::1"});
        // Another user's listener is no engine at all: nothing is sent there, and ours is started.
        row("a stranger on 127.0.0.1", {{200, kDocument}, "127.0.0.1", false, false});
        row("a stranger on ::1 beside ours", {{200, kDocument}, "::1", false, false});
        row("a stranger on :: beside ours", {{200, kDocument}, "::", false, false});
        // No address can carry the port (and Qt would send "GET  HTTP/1.1" to port 80).
        row("a port above 65535", {{200, kDocument}, "", false, false, "127.0.0.1@80", "70000"});
    }
    void ping() {
        QFETCH(PingCase, c);
        const auto& [reply, stranger, up, polled, ours, portFile] = c;
        if (::getuid() != 0 && (!stranger.isEmpty() || ours.contains(u'@')))
            QSKIP("a listener of another user's, or on port 80, needs root to make");
        Rig rig(reply, {{"CW_PROBE_HOST", ours.section(u'@', 0, 0)}, {"CW_PROBE_PORT", ours.section(u'@', 1)}});
        if (ours.contains(u'@') && rig.server.port() != 80)
            QSKIP("port 80 is taken on this machine");
        std::optional<FeedServer> other;
        if (!stranger.isEmpty())
            other.emplace(reply, QHash<QString, QString>{{"CW_PROBE_HOST", stranger},
                                                         {"CW_PROBE_PORT", QString::number(rig.server.port())},
                                                         {"CW_PROBE_UID", "65534"}});
        QVERIFY(!other || stranger == "127.0.0.1" || other->port() == rig.server.port());
        rig.setPort(portFile.isEmpty() ? QByteArray::number(other ? other->port() : rig.server.port())
                                       : portFile.toUtf8());
        // The panel is frozen during a ping: no timer tick, poll or button action may run inside it.
        bool posted = false;
        const QObject scope;
        QTimer::singleShot(0, &scope, [&posted] { posted = true; });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.d.ping(), up);
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed()))); // 1 s, on a busy machine
        QVERIFY(!posted && (reply.mode != "silent" || clock.elapsed() >= 200));
        QCOMPARE(rig.pollOnce(), polled);
        // Then the launch starts an engine of ours unless one answered (ours settles on a free port), and
        // polls every 2.0 s, never sooner (a coarse timer may tick 5 % early).
        rig.d.applicationDidFinishLaunching();
        QCOMPARE(rig.d.pyProc() != nullptr, !up);
        QCOMPARE(rig.d.findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly)->timerType(), Qt::PreciseTimer);
        QTRY_COMPARE_WITH_TIMEOUT(rig.d.updateURL(), QStringLiteral("https://example.invalid/get"), 10000);
        const bool asked = stranger.isEmpty() && portFile.isEmpty();
        QCOMPARE(rig.server.requests() > 0, asked);
        QCOMPARE(other ? other->requests() : 0, 0);
    }
    void poll_data() {
        QTest::addColumn<PollCase>("c");
        const auto row = [](const char* name, const PollCase& c) { QTest::newRow(name) << c; };
        // Any status will do: the body alone decides, and it must be complete.
        row("301 object", {{301, kDocument}, true});
        row("407 object", {{407, kDocument}, true});
        // UTF-8, UTF-16 or UTF-32, told by a byte-order mark or the zero bytes around the first characters.
        const QString text = QString::fromUtf8(kDocument);
        row("UTF-8, BOM", {{200, "\xEF\xBB\xBF" + kDocument}, true});
        row("UTF-16LE", {{200, QStringEncoder(QStringConverter::Utf16LE).encode(text)}, true});
        row("UTF-32BE", {{200, QStringEncoder(QStringConverter::Utf32BE).encode(text)}, true});
        row("empty", {{200, ""}, false});
        row("not JSON", {{200, "<html>busy</html>"}, false});
        row("an array", {{200, "[" + kDocument + "]"}, false});
        row("closed without a word", {{200, "", "close"}, false});
        // A trickle (a byte every 0.4 s trips no inactivity limit) and a body that never ends are cut by the
        // 1.5 s deadline, whatever part of a document had arrived.
        row("trickle", {{200, kDocument, "trickle", "", -1, 0.4}, false, 1200, 4000});
        row("unfinished", {{200, kDocument, "unfinished"}, false, 1200, 4000});
        // The 16 MiB cap stops a body as it arrives, announced or not.
        row("declared over 16 MiB", {{200, "", "endless", "", 17 * 1024 * 1024}, false});
        row("endless", {{200, "", "endless"}, false});
        // Large bodies are decoded off the main thread; how long that takes is the benchmarks' business (a
        // sanitizer build takes several times as long), so these rows only bound it loosely.
        const int loose = 30000;
        const QByteArray nearCap = "{\"pad\":\"" + QByteArray(16 * 1024 * 1024 - 192, 'a') + "\"," + kDocument.mid(1);
        row("just under 16 MiB", {{200, nearCap}, true, 0, loose});
        // 1.7 million small moments and picks, some with a control character to clean from their key, are read
        // into the panel's lists off the main thread too.
        const QByteArray many = R"({"cats":[)" + QByteArray(R"({"id":"a","label":"b"},)").repeated(200'000) +
                                R"({}],"fresh":[)" + QByteArray(R"({"key":"\u202e"},)").repeated(500'000) +
                                R"({}],"bangers":[)" + QByteArray("{},").repeated(1'000'000) + "{}]," +
                                kDocument.mid(1);
        row("1.7 million small objects", {{200, many}, true, 0, loose});
        // 2 million objects in a list: no document.
        row("2 million objects", {{200, "[" + QByteArray(R"({"a":0},)").repeated(2'000'000) + "{}]"}, false, 0, loose});
    }
    void poll() {
        QFETCH(PollCase, c);
        const auto& [reply, good, fromMs, toMs] = c;
        Rig rig(reply);
        QElapsedTimer clock;
        clock.start();
        const int holdMs = reply.mode == "endless" ? 500 : 0;
        QCOMPARE(rig.pollOnce(holdMs), good);
        QVERIFY2(rig.stallMs >= 0 && rig.stallMs < 300 + holdMs,
                 qPrintable(QStringLiteral("main loop held %1 ms").arg(rig.stallMs)));
        QVERIFY2(clock.elapsed() >= fromMs && clock.elapsed() < toMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.d.failCount(), good ? 0 : 1);
        QCOMPARE(rig.d.everConnected(), good);
        QCOMPARE(rig.d.feed().fullNext.size(), good ? 2 : 0);
        // An endless body, the main loop held at its first bytes: cut off having taken little more than the
        // cap from the engine, where an unbounded read-ahead took hundreds of megabytes meanwhile. (Records:
        // the request's head, its mode, then the megabytes.)
        if (reply.mode == "endless") {
            int sent = -1;
            QTRY_VERIFY((sent = rig.server.probes().served().value(2).value("sent").toInt(-1)) >= 0);
            QVERIFY2(sent < 64, qPrintable(QStringLiteral("%1 MiB handed over").arg(sent)));
        }
    }
    void failureRuns_data() {
        // G: a good poll; F: an empty body; X: nothing listens on the port; L: a refresh while locked, which
        // must send nothing and count for nothing.
        QTest::addColumn<QString>("polls");
        QTest::addColumn<int>("recoveries");
        QTest::addColumn<int>("failCount");
        // By a recovery whose ping found no engine (a 200 is one): an engine that ignores SIGTERM.
        QTest::addColumn<bool>("spawned");
        QTest::newRow("third failure recovers") << "GFFF" << 1 << 0 << false;
        QTest::newRow("count restarts after recovery") << "GFFFFFF" << 2 << 0 << false;
        QTest::newRow("pairs between good polls") << "GFFGFFGFF" << 0 << 2 << false;
        QTest::newRow("never answered") << "FFFFXXX" << 0 << 7 << false;
        QTest::newRow("late engine that dies, twice") << "XXGXXXXXX" << 2 << 0 << true;
        QTest::newRow("locked refreshes between failures") << "GFLFLLF" << 1 << 0 << false;
    }
    void failureRuns() {
        QFETCH(QString, polls);
        QFETCH(int, recoveries);
        QFETCH(int, failCount);
        QFETCH(bool, spawned);
        Rig rig;
        Probes probes;
        probes.installEngine(settings().SCRIPT);
        probes.exportEnvironment({{"CW_PROBE_ON_TERM", "stay"}, {"CW_PROBE_LIFETIME", "60"}});
        QSignalSpy recovered(&rig.d, &AppDelegate::recovered);
        // recover() pings for up to a second and may start an engine: it is posted, never run inside the
        // judgement (the next poll's pollOnce lets it run, as the next tick would).
        qsizetype atVerdict = -1;
        connect(&rig.d, &AppDelegate::pollFinished, this, [&] { atVerdict = recovered.count(); });
        for (const QChar kind : polls) {
            // An engine just started sets its signal handlers before anything may ask it to stop.
            if (const EngineProcess* engine = rig.d.pyProc(); engine && engine->running())
                QTRY_VERIFY(probes.started().contains(engine->pid()));
            const qsizetype before = recovered.count();
            const int requests = rig.server.requests();
            if (kind == u'L') {
                rig.d.toggleLock();
                QSignalSpy judged(&rig.d, &AppDelegate::pollFinished);
                rig.d.refresh();
                QVERIFY(!judged.wait(300));
                rig.d.toggleLock();
                QCOMPARE(rig.server.requests(), requests);
                continue;
            }
            rig.setPort(QByteArray::number(kind == u'X' ? FeedServer::unusedPort() : rig.server.port()));
            rig.server.setReply({200, kind == u'G' ? kDocument : ""});
            QCOMPARE(rig.pollOnce(), kind == u'G');
            QCOMPARE(atVerdict, before);
        }
        QCOMPARE(recovered.count(), recoveries);
        QCOMPARE(rig.d.failCount(), qint64(failCount));
        QCOMPARE(rig.d.pyProc() != nullptr, spawned);
        // The engine a recovery replaced is killed once its grace has run out, and the last one at quit.
        QTRY_COMPARE(probes.started().size(), spawned ? recoveries : 0);
        const QList<qint64> engines = probes.started();
        const auto alive = [&engines] {
            return std::count_if(engines.cbegin(), engines.cend(), [](qint64 pid) { return processAlive(pid); });
        };
        QTRY_COMPARE_WITH_TIMEOUT(alive(), spawned ? 1 : 0, 5000);
        rig.d.applicationWillTerminate();
        QTRY_COMPARE_WITH_TIMEOUT(alive(), 0, 1000);
    }
};

QTEST_MAIN(TestEngineLink)
#include "tst_engine_link.moc"
