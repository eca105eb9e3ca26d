// Feed polling against a real local HTTP server: what counts as a good poll, the failure count and the
// recovery it triggers, the lock, the port file, the time limit and the size cap.

#include "controller/AppDelegate.h"
#include "support/HttpTestServer.h"
#include "support/TestTree.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace cw;
using namespace cw::test;
using Behaviour = HttpTestServer::Behaviour;

namespace {

const QByteArray kDocument = R"({"ok": true, "now": {"title": "Now"}, "next": [{"title": "A"}, {"title": "B"}]})";

HttpTestServer::Reply respond(int status, const QByteArray& body = {}) {
    return HttpTestServer::reply(Behaviour::Respond, status, body);
}

// A server with the given reply, the port file pointing at it, and a controller whose interpreter does
// not exist, so a recovery's restart starts nothing.
struct PollRig {
    TestTree tree;
    HttpTestServer server;
    std::unique_ptr<AppDelegate> d;

    explicit PollRig(const HttpTestServer::Reply& reply = respond(200, kDocument)) {
        QProcessEnvironment env;
        env.insert(QStringLiteral("TRK_PYTHON"), tree.root() + QStringLiteral("/no/python3"));
        tree.install(env);
        server.setReply(reply);
        setPort(server.port());
        d = std::make_unique<AppDelegate>();
    }
    void setPort(quint16 port) const { setPortText(QByteArray::number(port)); }
    void setPortText(const QByteArray& text) const { tree.write(settings().SUPPORT + QStringLiteral("/port"), text); }

    // One refresh, waited for until it has been judged; whether it was good.
    bool pollOnce() const {
        QSignalSpy judged(d.get(), &AppDelegate::pollFinished);
        d->refresh();
        if (judged.isEmpty() && !judged.wait(10000))
            return false;
        return judged.count() == 1 && judged.at(0).at(0).toBool();
    }
};

} // namespace

class TestFeedPolling : public QObject {
    Q_OBJECT
private slots:
    void verdict_data() {
        QTest::addColumn<HttpTestServer::Reply>("serverReply");
        QTest::addColumn<bool>("good");
        QTest::newRow("200 object") << respond(200, kDocument) << true;
        QTest::newRow("500 object") << respond(500, kDocument) << true;
        QTest::newRow("redirect status with object") << respond(301, kDocument) << true;
        QTest::newRow("200 empty body") << respond(200) << false;
        QTest::newRow("200 not JSON") << respond(200, "<html>busy</html>") << false;
        QTest::newRow("200 array") << respond(200, "[" + kDocument + "]") << false;
        QTest::newRow("200 truncated object") << respond(200, kDocument.left(30)) << false;
        QTest::newRow("closed without answer") << HttpTestServer::reply(Behaviour::CloseAtOnce) << false;
    }
    void verdict() {
        QFETCH(HttpTestServer::Reply, serverReply);
        QFETCH(bool, good);
        PollRig rig(serverReply);
        // apply reaches the controller through the main queue, after the verdict.
        qsizetype nextAtVerdict = -1;
        connect(rig.d.get(), &AppDelegate::pollFinished, this, [&] { nextAtVerdict = rig.d->fullNext.size(); });

        QCOMPARE(rig.pollOnce(), good);
        // (Qt sends a GET once more when the connection closed without a word.)
        QVERIFY(rig.server.requestCount() >= 1);
        QVERIFY(rig.server.requestHeads().at(0).startsWith("GET /json HTTP/1.1\r\n"));
        QCOMPARE(nextAtVerdict, 0);
        QCOMPARE(rig.d->everConnected, good);
        QCOMPARE(rig.d->failCount, good ? 0 : 1);
        if (good)
            QTRY_COMPARE(rig.d->fullNext.size(), 2);
        else
            QCOMPARE(rig.d->fullNext.size(), 0);
    }

    void failureRuns_data() {
        // G: a good poll; F: 200 with an empty body; N: 500 with text; X: nothing listens on the port;
        // L: a refresh while locked, which must send nothing and count for nothing.
        QTest::addColumn<QString>("polls");
        QTest::addColumn<int>("recoveries");
        QTest::addColumn<int>("failCount");
        QTest::newRow("third failure recovers") << "GFFF" << 1 << 0;
        QTest::newRow("count restarts after recovery") << "GFFFFFF" << 2 << 0;
        QTest::newRow("alternating") << "GFGFGFGFGF" << 0 << 1;
        QTest::newRow("pairs between good polls") << "GFFGFFGFF" << 0 << 2;
        QTest::newRow("never answered, empty bodies") << "FFFFFFF" << 0 << 7;
        QTest::newRow("never answering engine") << "XXXXX" << 0 << 5;
        QTest::newRow("late engine that dies") << "XXGXXX" << 1 << 0;
        QTest::newRow("mixed failures") << "GNXF" << 1 << 0;
        QTest::newRow("locked refreshes between failures") << "GFLFLLF" << 1 << 0;
        QTest::newRow("locked before any answer") << "LLLG" << 0 << 0;
    }
    void failureRuns() {
        QFETCH(QString, polls);
        QFETCH(int, recoveries);
        QFETCH(int, failCount);
        PollRig rig;
        const quint16 nobody = HttpTestServer::unusedPort();
        QSignalSpy recovered(rig.d.get(), &AppDelegate::recovered);
        // recover() pings for a second and may start an engine: it is posted, never run inside a completion.
        qsizetype recoveredAtVerdict = -1;
        connect(rig.d.get(), &AppDelegate::pollFinished, this, [&] { recoveredAtVerdict = recovered.count(); });
        QSignalSpy judged(rig.d.get(), &AppDelegate::pollFinished);

        for (const QChar kind : polls) {
            if (kind == u'L') {
                const qsizetype seen = rig.server.requestCount() + judged.count();
                rig.d->locked = true;
                rig.d->refresh();
                QTest::qWait(300);
                rig.d->locked = false;
                QCOMPARE(rig.server.requestCount() + judged.count(), seen);
                continue;
            }
            rig.setPort(kind == u'X' ? nobody : rig.server.port());
            rig.server.setReply(kind == u'G'   ? respond(200, kDocument)
                                : kind == u'N' ? respond(500, "Error")
                                               : respond(200));
            const qsizetype before = recovered.count();
            QCOMPARE(rig.pollOnce(), kind == u'G');
            QCOMPARE(recoveredAtVerdict, before);
            // Let a posted recovery run before the next poll, as the next tick would.
            QCoreApplication::sendPostedEvents();
        }
        QCOMPARE(recovered.count(), recoveries);
        QCOMPARE(rig.d->failCount, qint64(failCount));
        QCOMPARE(rig.d->everConnected, polls.contains(u'G'));
    }

    void portFileChangeIsFollowed() {
        PollRig rig;
        HttpTestServer second;
        second.respond(200, R"({"ok": true, "next": [{"title": "only"}]})");
        QVERIFY(rig.pollOnce());
        QTRY_COMPARE(rig.d->fullNext.size(), 2);
        rig.setPortText(" " + QByteArray::number(second.port()) + "\n");
        QVERIFY(rig.pollOnce());
        QTRY_COMPARE(rig.d->fullNext.size(), 1);
        QCOMPARE(rig.server.requestCount(), 1);
        QCOMPARE(second.requestCount(), 1);
        // A port no address can carry is an unreachable engine, nothing worse.
        rig.setPortText("70000");
        QVERIFY(!rig.pollOnce());
        QCOMPARE(rig.d->failCount, 1);
        QCOMPARE(rig.server.requestCount() + second.requestCount(), 2);
    }

    void limits_data() {
        QTest::addColumn<HttpTestServer::Reply>("serverReply");
        QTest::addColumn<bool>("timesOut"); // ended by the deadline, not by the size cap
        QTest::addColumn<bool>("good");
        QTest::newRow("silent") << HttpTestServer::reply(Behaviour::Silent) << true << false;
        // A byte every 400 ms never trips an inactivity time-out; only an overall deadline ends it.
        HttpTestServer::Reply trickle = HttpTestServer::reply(Behaviour::Trickle, 200, kDocument);
        trickle.trickleIntervalMs = 400;
        QTest::newRow("trickling") << trickle << true << false;
        // The whole document, but the answer never ends: a time-out, not a document.
        QTest::newRow("never finished") << HttpTestServer::reply(Behaviour::Unfinished, 200, kDocument) << true
                                        << false;
        HttpTestServer::Reply declared = HttpTestServer::reply(Behaviour::Endless);
        declared.declaredLength = 17 * 1024 * 1024;
        QTest::newRow("declared over 16 MiB") << declared << false << false;
        QTest::newRow("undeclared, never ending") << HttpTestServer::reply(Behaviour::Endless) << false << false;
        const QByteArray big = "{\"pad\":\"" + QByteArray(16 * 1024 * 1024 - 32, 'a') + "\",\"ok\":true}";
        QTest::newRow("document just under 16 MiB") << respond(200, big) << false << true;
    }
    void limits() {
        QFETCH(HttpTestServer::Reply, serverReply);
        QFETCH(bool, timesOut);
        QFETCH(bool, good);
        PollRig rig(serverReply);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.pollOnce(), good);
        const qint64 elapsed = clock.elapsed();
        // Time-outs come from the overall deadline; size verdicts come from the cap, long before it.
        QVERIFY2(timesOut ? elapsed >= 1200 && elapsed < 4000 : elapsed < 1000, qPrintable(QString::number(elapsed)));
        QCOMPARE(rig.d->failCount, good ? 0 : 1);
        // Without the cap the 1.5 s deadline would let hundreds of megabytes through.
        const qint64 sent = rig.server.bodyBytesSent();
        QVERIFY2(sent < 40 * 1024 * 1024, qPrintable(QString::number(sent)));
        QTest::qWait(50);
        QVERIFY(rig.d->fullNext.isEmpty());
    }

    void neitherCachedNorRedirected() {
        HttpTestServer::Reply cacheable = respond(200, kDocument);
        cacheable.extraHeaders = "Cache-Control: public, max-age=3600\r\nETag: \"v1\"\r\n"
                                 "Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n";
        PollRig rig(cacheable);
        QVERIFY(rig.pollOnce());
        QVERIFY(rig.pollOnce());
        QCOMPARE(rig.server.requestCount(), 2);
        const QByteArray second = rig.server.requestHeads().at(1).toLower();
        QVERIFY(!second.contains("if-none-match") && !second.contains("if-modified-since"));

        HttpTestServer elsewhere;
        elsewhere.respond(200, kDocument);
        HttpTestServer::Reply moved = respond(302, "moved");
        moved.extraHeaders = "Location: http://127.0.0.1:" + QByteArray::number(elsewhere.port()) + "/json\r\n";
        rig.server.setReply(moved);
        QVERIFY(!rig.pollOnce());
        QTest::qWait(200);
        QCOMPARE(elsewhere.requestCount(), 0);
    }
};

QTEST_MAIN(TestFeedPolling)
#include "tst_feed_polling.moc"
