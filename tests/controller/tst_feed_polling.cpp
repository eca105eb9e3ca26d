// Feed polling against a real local HTTP server: what counts as a good poll, the failure count and the
// recovery it triggers, the lock, the port file, the time limit and the size cap.

#include "controller/AppDelegate.h"
#include "support/HttpTestServer.h"
#include "support/TestTree.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace cw;
using namespace cw::test;
using Behaviour = HttpTestServer::Behaviour;

namespace {

const QByteArray kDocument = R"({"ok": true, "now": {"title": "Now"}, "next": [{"title": "A"}, {"title": "B"}]})";

// A tree whose interpreter does not exist, so a recovery's restart starts nothing.
struct PollRig {
    TestTree tree;
    PollRig() {
        QProcessEnvironment env;
        env.insert(QStringLiteral("TRK_PYTHON"), tree.root() + QStringLiteral("/no/python3"));
        tree.install(env);
    }
    void setPort(quint16 port) const { setPortText(QByteArray::number(port)); }
    void setPortText(const QByteArray& text) const { tree.write(settings().SUPPORT + QStringLiteral("/port"), text); }
};

// One refresh, waited for until it has been judged. Returns whether it was good; fails the test when
// no verdict comes.
bool pollOnce(AppDelegate& d, int timeoutMs = 10000) {
    QSignalSpy judged(&d, &AppDelegate::pollFinished);
    d.refresh();
    if (judged.isEmpty() && !judged.wait(timeoutMs))
        return false;
    return judged.count() == 1 && judged.at(0).at(0).toBool();
}

} // namespace

class TestFeedPolling : public QObject {
    Q_OBJECT
private slots:
    void verdict_data();
    void verdict();
    void failureRuns_data();
    void failureRuns();
    void recoveryIsPostedNotRunInline();
    void lockedSendsNothing();
    void portFileChangeIsFollowed();
    void overallDeadline_data();
    void overallDeadline();
    void sizeCap_data();
    void sizeCap();
    void neitherCachedNorRedirected();
};

void TestFeedPolling::verdict_data() {
    QTest::addColumn<HttpTestServer::Reply>("serverReply");
    QTest::addColumn<bool>("good");
    QTest::newRow("200 object") << HttpTestServer::reply(Behaviour::Respond, 200, kDocument) << true;
    QTest::newRow("500 object") << HttpTestServer::reply(Behaviour::Respond, 500, kDocument) << true;
    QTest::newRow("400 object") << HttpTestServer::reply(Behaviour::Respond, 400, kDocument) << true;
    QTest::newRow("redirect status with object") << HttpTestServer::reply(Behaviour::Respond, 301, kDocument) << true;
    QTest::newRow("200 empty body") << HttpTestServer::reply(Behaviour::Respond, 200) << false;
    QTest::newRow("200 not JSON") << HttpTestServer::reply(Behaviour::Respond, 200, "<html>busy</html>") << false;
    QTest::newRow("200 array") << HttpTestServer::reply(Behaviour::Respond, 200, "[" + kDocument + "]") << false;
    QTest::newRow("200 string") << HttpTestServer::reply(Behaviour::Respond, 200, "\"ok\"") << false;
    QTest::newRow("200 number") << HttpTestServer::reply(Behaviour::Respond, 200, "42") << false;
    QTest::newRow("200 null") << HttpTestServer::reply(Behaviour::Respond, 200, "null") << false;
    QTest::newRow("200 truncated object")
        << HttpTestServer::reply(Behaviour::Respond, 200, kDocument.left(30)) << false;
    QTest::newRow("closed without answer") << HttpTestServer::reply(Behaviour::CloseAtOnce) << false;
}

void TestFeedPolling::verdict() {
    QFETCH(HttpTestServer::Reply, serverReply);
    QFETCH(bool, good);
    PollRig rig;
    HttpTestServer server;
    server.setReply(serverReply);
    rig.setPort(server.port());
    AppDelegate d;
    // apply reaches the controller through the main queue, after the verdict.
    qsizetype nextAtVerdict = -1;
    connect(&d, &AppDelegate::pollFinished, this, [&] { nextAtVerdict = d.fullNext.size(); });

    QCOMPARE(pollOnce(d), good);
    // (Qt sends a GET once more when the connection closed without a word.)
    QVERIFY(server.requestCount() >= 1);
    QVERIFY(server.requestHeads().at(0).startsWith("GET /json HTTP/1.1\r\n"));
    QCOMPARE(nextAtVerdict, 0);
    QCOMPARE(d.everConnected, good);
    QCOMPARE(d.failCount, good ? 0 : 1);
    if (good)
        QTRY_COMPARE(d.fullNext.size(), 2);
    else
        QCOMPARE(d.fullNext.size(), 0);
}

void TestFeedPolling::failureRuns_data() {
    // G: a good poll; F: 200 with an empty body; N: 500 with text; X: nothing listens on the port.
    QTest::addColumn<QString>("polls");
    QTest::addColumn<int>("recoveries");
    QTest::addColumn<int>("failCount");
    QTest::newRow("two failures") << "GFF" << 0 << 2;
    QTest::newRow("third failure recovers") << "GFFF" << 1 << 0;
    QTest::newRow("count restarts after recovery") << "GFFFF" << 1 << 1;
    QTest::newRow("second recovery") << "GFFFFFF" << 2 << 0;
    QTest::newRow("alternating") << "GFGFGFGFGF" << 0 << 1;
    QTest::newRow("pairs between good polls") << "GFFGFFGFF" << 0 << 2;
    QTest::newRow("never answered, empty bodies") << "FFFFFFF" << 0 << 7;
    QTest::newRow("never answering engine") << "XXXXX" << 0 << 5;
    QTest::newRow("late engine that dies") << "XXGXXX" << 1 << 0;
    QTest::newRow("error pages") << "GNNN" << 1 << 0;
    QTest::newRow("mixed failures") << "GNXF" << 1 << 0;
}

void TestFeedPolling::failureRuns() {
    QFETCH(QString, polls);
    QFETCH(int, recoveries);
    QFETCH(int, failCount);
    PollRig rig;
    HttpTestServer server;
    const quint16 nobody = HttpTestServer::unusedPort();
    AppDelegate d;
    QSignalSpy recovered(&d, &AppDelegate::recovered);

    for (const QChar kind : polls) {
        rig.setPort(kind == u'X' ? nobody : server.port());
        if (kind == u'G')
            server.respond(200, kDocument);
        else if (kind == u'F')
            server.respond(200, QByteArray());
        else if (kind == u'N')
            server.respond(500, "Internal Server Error");
        QCOMPARE(pollOnce(d), kind == u'G');
        // Let a posted recovery run before the next poll, as the next tick would.
        QCoreApplication::sendPostedEvents();
    }
    QCOMPARE(recovered.count(), recoveries);
    QCOMPARE(d.failCount, qint64(failCount));
    QCOMPARE(d.everConnected, polls.contains(u'G'));
}

void TestFeedPolling::recoveryIsPostedNotRunInline() {
    PollRig rig;
    HttpTestServer server;
    rig.setPort(server.port());
    AppDelegate d;
    server.respond(200, kDocument);
    QVERIFY(pollOnce(d));
    server.respond(503, QByteArray());
    QVERIFY(!pollOnce(d));
    QVERIFY(!pollOnce(d));
    QSignalSpy recovered(&d, &AppDelegate::recovered);
    int recoveredAtVerdict = -1;
    qint64 failCountAtVerdict = -1;
    connect(&d, &AppDelegate::pollFinished, this, [&] {
        recoveredAtVerdict = int(recovered.count());
        failCountAtVerdict = d.failCount;
    });
    QVERIFY(!pollOnce(d));
    QCOMPARE(failCountAtVerdict, 0); // reset by the completion itself
    QCOMPARE(recoveredAtVerdict, 0); // recover() comes later, from the main queue
    QTRY_COMPARE(recovered.count(), 1);
    // recover() pinged the engine once.
    QCOMPARE(server.requestCount(), 5);
}

void TestFeedPolling::lockedSendsNothing() {
    PollRig rig;
    HttpTestServer server;
    server.respond(200, kDocument);
    rig.setPort(server.port());
    AppDelegate d;
    QSignalSpy judged(&d, &AppDelegate::pollFinished);
    d.locked = true;
    for (int i = 0; i < 3; ++i)
        d.refresh();
    QTest::qWait(500);
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(judged.count(), 0);
    QCOMPARE(d.failCount, 0);
    QVERIFY(!d.everConnected);

    d.locked = false;
    QVERIFY(pollOnce(d));
    QCOMPARE(server.requestCount(), 1);
}

void TestFeedPolling::portFileChangeIsFollowed() {
    PollRig rig;
    HttpTestServer first;
    HttpTestServer second;
    first.respond(200, kDocument);
    second.respond(200, R"({"ok": true, "next": [{"title": "only"}]})");
    AppDelegate d;
    rig.setPort(first.port());
    QVERIFY(pollOnce(d));
    QTRY_COMPARE(d.fullNext.size(), 2);
    rig.setPortText(" " + QByteArray::number(second.port()) + "\n");
    QVERIFY(pollOnce(d));
    QTRY_COMPARE(d.fullNext.size(), 1);
    QCOMPARE(first.requestCount(), 1);
    QCOMPARE(second.requestCount(), 1);
    // A port no address can carry is an unreachable engine, nothing worse.
    rig.setPortText("70000");
    QVERIFY(!pollOnce(d));
    QCOMPARE(d.failCount, 1);
    QCOMPARE(first.requestCount() + second.requestCount(), 2);
}

void TestFeedPolling::overallDeadline_data() {
    QTest::addColumn<HttpTestServer::Reply>("serverReply");
    QTest::newRow("silent") << HttpTestServer::reply(Behaviour::Silent);
    // A byte every 400 ms never trips an inactivity time-out; only an overall deadline ends it.
    HttpTestServer::Reply trickle = HttpTestServer::reply(Behaviour::Trickle, 200, kDocument);
    trickle.trickleIntervalMs = 400;
    QTest::newRow("trickling") << trickle;
    // The whole document, but the answer never ends: a time-out, not a document.
    QTest::newRow("never finished") << HttpTestServer::reply(Behaviour::Unfinished, 200, kDocument);
}

void TestFeedPolling::overallDeadline() {
    QFETCH(HttpTestServer::Reply, serverReply);
    PollRig rig;
    HttpTestServer server;
    server.setReply(serverReply);
    rig.setPort(server.port());
    AppDelegate d;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!pollOnce(d));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 1200 && elapsed < 4000, qPrintable(QString::number(elapsed)));
    QCOMPARE(d.failCount, 1);
    QTest::qWait(50);
    QVERIFY(d.fullNext.isEmpty());
}

void TestFeedPolling::sizeCap_data() {
    QTest::addColumn<HttpTestServer::Reply>("serverReply");
    QTest::addColumn<bool>("good");
    HttpTestServer::Reply declared = HttpTestServer::reply(Behaviour::Endless);
    declared.declaredLength = 17 * 1024 * 1024;
    QTest::newRow("declared over 16 MiB") << declared << false;
    QTest::newRow("undeclared, never ending") << HttpTestServer::reply(Behaviour::Endless) << false;
    // A large but legal document still counts.
    const QByteArray big = "{\"pad\":\"" + QByteArray(16 * 1024 * 1024 - 32, 'a') + "\",\"ok\":true}";
    QTest::newRow("document just under 16 MiB") << HttpTestServer::reply(Behaviour::Respond, 200, big) << true;
}

void TestFeedPolling::sizeCap() {
    QFETCH(HttpTestServer::Reply, serverReply);
    QFETCH(bool, good);
    PollRig rig;
    HttpTestServer server;
    server.setReply(serverReply);
    rig.setPort(server.port());
    AppDelegate d;
    QCOMPARE(pollOnce(d), good);
    // Without the cap the 1.5 s deadline would let hundreds of megabytes through.
    QVERIFY2(server.bodyBytesSent() < 40 * 1024 * 1024, qPrintable(QString::number(server.bodyBytesSent())));
}

void TestFeedPolling::neitherCachedNorRedirected() {
    PollRig rig;
    HttpTestServer elsewhere;
    elsewhere.respond(200, kDocument);
    HttpTestServer server;
    HttpTestServer::Reply cacheable = HttpTestServer::reply(Behaviour::Respond, 200, kDocument);
    cacheable.extraHeaders = "Cache-Control: public, max-age=3600\r\nETag: \"v1\"\r\nLast-Modified: Mon, 01 Jan 2024 "
                             "00:00:00 GMT\r\n";
    server.setReply(cacheable);
    rig.setPort(server.port());
    AppDelegate d;
    QVERIFY(pollOnce(d));
    QVERIFY(pollOnce(d));
    QCOMPARE(server.requestCount(), 2);
    const QByteArray second = server.requestHeads().at(1).toLower();
    QVERIFY(!second.contains("if-none-match"));
    QVERIFY(!second.contains("if-modified-since"));

    HttpTestServer::Reply moved = HttpTestServer::reply(Behaviour::Respond, 302, "moved");
    moved.extraHeaders = "Location: http://127.0.0.1:" + QByteArray::number(elsewhere.port()) + "/json\r\n";
    server.setReply(moved);
    QVERIFY(!pollOnce(d));
    QTest::qWait(200);
    QCOMPARE(elsewhere.requestCount(), 0);
}

QTEST_MAIN(TestFeedPolling)
#include "tst_feed_polling.moc"
