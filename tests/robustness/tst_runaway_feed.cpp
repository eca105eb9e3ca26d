// The largest bodies a poll accepts (just under its 16 MiB cap), in the shapes that cost the most: the
// panel's main loop keeps running while they are decoded, and applying the worst document it can be
// handed holds the panel for less than the 1.0 s a ping may.

#include "controller/AppDelegate.h"
#include "support/HttpTestServer.h"
#include "support/TestTree.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace cw;
using namespace cw::test;

namespace {

constexpr qsizetype kBodyBytes = 16 * 1024 * 1024 - 64;

// item repeated, comma-separated, to fill about kBodyBytes between prefix and suffix.
QByteArray filled(const QByteArray& prefix, const QByteArray& item, const QByteArray& suffix, qsizetype* count) {
    const qsizetype n = (kBodyBytes - prefix.size() - suffix.size()) / (item.size() + 1);
    QByteArray body;
    body.reserve(kBodyBytes);
    body += prefix;
    for (qsizetype i = 0; i < n; ++i) {
        if (i)
            body += ',';
        body += item;
    }
    body += suffix;
    if (count)
        *count = n;
    return body;
}

// The longest gap between ticks of a 10 ms timer while one poll of body is made, judged and applied.
struct PollRun {
    bool good = false;
    qint64 maxStallMs = 0;
};

PollRun pollOnce(AppDelegate& d, HttpTestServer& server, const QByteArray& body) {
    server.respond(200, body);
    QElapsedTimer sinceTick;
    sinceTick.start();
    PollRun run;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] { run.maxStallMs = std::max(run.maxStallMs, sinceTick.restart()); });
    tick.start(10);
    QSignalSpy judged(&d, &AppDelegate::pollFinished);
    d.refresh();
    if (!judged.wait(20000))
        return run;
    run.good = judged.at(0).at(0).toBool();
    QTest::qWait(500); // the queued apply, and a few ticks after it
    return run;
}

} // namespace

class TestRunawayFeed : public QObject {
    Q_OBJECT
private slots:
    void decodingNeverHoldsThePanel();
    void largestDocumentIsAppliedWithinAPing();
};

void TestRunawayFeed::decodingNeverHoldsThePanel() {
    // About 2.4 million one-key objects in a list: most of a second to decode, and no feed document.
    TestTree tree;
    tree.install();
    HttpTestServer server;
    tree.write(settings().SUPPORT + QStringLiteral("/port"), QByteArray::number(server.port()));
    AppDelegate d;
    d.build();
    const PollRun run = pollOnce(d, server, filled("[", R"({"a":0})", "]", nullptr));
    qInfo("longest stall %lld ms", run.maxStallMs);
    QVERIFY(!run.good);
    QCOMPARE(d.failCount, 1);
    // Collecting the body costs the main loop a few milliseconds; decoding it there cost hundreds.
    QVERIFY2(run.maxStallMs < 300, qPrintable(QStringLiteral("main loop held for %1 ms").arg(run.maxStallMs)));
}

void TestRunawayFeed::largestDocumentIsAppliedWithinAPing() {
    // About 5.6 million empty picks: the most picks a document under the cap can hold.
    TestTree tree;
    tree.install();
    HttpTestServer server;
    tree.write(settings().SUPPORT + QStringLiteral("/port"), QByteArray::number(server.port()));
    AppDelegate d;
    d.build();
    qsizetype picks = 0;
    const QByteArray body = filled(R"({"ok":true,"next":[)", "{}", "]}", &picks);
    PollRun run = pollOnce(d, server, body);
    QVERIFY(run.good);
    QCOMPARE(d.fullNext.size(), picks);
    // A second one replaces the first, which is freed on the main thread too.
    run = pollOnce(d, server, body);
    qInfo("longest stall %lld ms", run.maxStallMs);
    QVERIFY(run.good);
    QVERIFY2(run.maxStallMs < 1500, qPrintable(QStringLiteral("main loop held for %1 ms").arg(run.maxStallMs)));
}

QTEST_MAIN(TestRunawayFeed)
#include "tst_runaway_feed.moc"
