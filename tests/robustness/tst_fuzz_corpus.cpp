// The kept fuzz corpus (tests/data/fuzz), replayed through the fuzz target's own feed path on every
// build: each file is decoded, applied, rendered in every mode and painted, in well under the time the
// panel may be held, without leaving the panel contradicting its state. scripts/fuzz.sh does the fuzzing.

#include "FeedPath.h"

#include "controller/AppDelegate.h"
#include "ui/DragRow.h"
#include "ui/TextLabel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <memory>

using namespace cw;
using namespace cw::test;

namespace {

const QString kCorpus = QStringLiteral(CW_TEST_DATA_DIR "/fuzz");

// Seeds that must not pass for a feed document, whatever else the decoder accepts.
const QStringList kNotDocuments = {
    QStringLiteral("empty"),
    QStringLiteral("truncated.json"),
    QStringLiteral("truncated_in_string.json"),
    QStringLiteral("top_array.json"),
    QStringLiteral("top_string.json"),
    QStringLiteral("top_number.json"),
    QStringLiteral("top_null.json"),
    QStringLiteral("deep_past_limit.json"),
};
// Seeds that must, so the path is known to reach apply and render.
const QStringList kDocuments = {
    QStringLiteral("realistic.json"),    QStringLiteral("waiting.json"),         QStringLiteral("only_ok.json"),
    QStringLiteral("huge_arrays.json"),  QStringLiteral("wrong_types.json"),     QStringLiteral("wrong_types_ok.json"),
    QStringLiteral("deep_in_pick.json"), QStringLiteral("extreme_numbers.json"), QStringLiteral("strings.json"),
    QStringLiteral("mixed_array.json"),  QStringLiteral("duplicate_keys.json"),
};

// The panel may be held for a 1.0 s ping; one document must cost far less. Generous for sanitizer builds
// on a busy machine.
constexpr qint64 kBudgetMs = 1500;

} // namespace

class TestFuzzCorpus : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void replay_data();
    void replay();
    void realisticFeedReachesTheRows();

private:
    std::unique_ptr<FeedPath> m_path;
};

void TestFuzzCorpus::initTestCase() {
    m_path = std::make_unique<FeedPath>();
    const QStringList files = QDir(kCorpus).entryList(QDir::Files);
    for (const QString& name : kNotDocuments + kDocuments)
        QVERIFY2(files.contains(name), qPrintable(name));
}

void TestFuzzCorpus::replay_data() {
    QTest::addColumn<QString>("file");
    const QStringList files = QDir(kCorpus).entryList(QDir::Files, QDir::Name);
    for (const QString& name : files)
        QTest::newRow(qPrintable(name)) << name;
}

void TestFuzzCorpus::replay() {
    QFETCH(QString, file);
    QFile input(kCorpus + u'/' + file);
    QVERIFY(input.open(QIODevice::ReadOnly));
    const QByteArray bytes = input.readAll();

    QElapsedTimer clock;
    clock.start();
    const bool document = m_path->run(bytes);
    const qint64 elapsed = clock.elapsed();

    QVERIFY2(m_path->inconsistency().isEmpty(), qPrintable(m_path->inconsistency()));
    QVERIFY2(elapsed < kBudgetMs, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
    if (kNotDocuments.contains(file))
        QVERIFY(!document);
    if (kDocuments.contains(file))
        QVERIFY(document);
}

void TestFuzzCorpus::realisticFeedReachesTheRows() {
    // The replay above would pass over a path that decodes nothing; this one checks what reached the panel.
    QFile input(kCorpus + QStringLiteral("/realistic.json"));
    QVERIFY(input.open(QIODevice::ReadOnly));
    QVERIFY(m_path->run(input.readAll()));
    const AppDelegate& d = m_path->delegate();
    QCOMPARE(d.nowTitle->text(), QStringLiteral("Marlowe Vance – Glasshouse (Extended Mix)"));
    QCOMPARE(d.cats.size(), 3);
    QVERIFY(!d.fullNext.isEmpty());
    QVERIFY(!d.rows.at(0)->isHidden());
}

QTEST_MAIN(TestFuzzCorpus)
#include "tst_fuzz_corpus.moc"
