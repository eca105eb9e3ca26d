// Feed polling against a real local server (a probe engine serving on 127.0.0.1): what counts as a good
// poll, the time limit and the size cap, the panel kept responsive while large bodies are decoded, the
// failure count and the recovery it triggers, the lock, and the port file read on every poll.

#include "controller/AppDelegate.h"
#include "support/Support.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
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
    explicit Rig(const Reply& reply = {200, kDocument}) : server((tree.install("en", "/no/python3"), reply)) {
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

class TestPolling : public QObject {
    Q_OBJECT
private slots:
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
        // Without the cap a 1.5 s deadline would let hundreds of megabytes through.
        QTRY_VERIFY(rig.server.requests() >= 1 && rig.server.bodyBytesSent() < 40 * 1024 * 1024);
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

    void portFileIsReadOnEveryPoll() {
        Rig rig;
        FeedServer second({200, R"({"ok": true, "next": [{"title": "only"}]})"});
        QVERIFY(rig.pollOnce());
        rig.tree.write(rig.tree.support() + QStringLiteral("/port"), " " + QByteArray::number(second.port()) + "\n");
        QVERIFY(rig.pollOnce());
        QCOMPARE(rig.d.feed().fullNext.size(), 1);
        // A port no address can carry is an engine that does not answer, nothing worse.
        rig.tree.write(rig.tree.support() + QStringLiteral("/port"), "70000");
        QVERIFY(!rig.pollOnce());
        QCOMPARE(rig.server.requests() + second.requests(), 2);
    }
};

QTEST_MAIN(TestPolling)
#include "tst_polling.moc"
