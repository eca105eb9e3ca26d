// The kept fuzz corpus (tests/data/fuzz), replayed through the fuzz target's own feed path on every
// build: each file is decoded, applied, rendered in every mode and painted, in well under the time the
// panel may be held, without the panel contradicting its state. scripts/fuzz.sh does the fuzzing.

#include "FeedPath.h"

#include "support/Support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

static const QString kCorpus = QStringLiteral(CW_TEST_DATA_DIR "/fuzz");

class TestFuzzCorpus : public QObject {
    Q_OBJECT
private slots:
    void replay_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("document"); // 1 must be one, 0 must not, -1 either
        const QStringList none{"empty", "truncated.json", "top_array.json", "top_null.json", "deep_past_limit.json"};
        const QStringList documents{"realistic.json", "waiting.json", "wrong_types.json", "huge_title.json",
                                    "duplicate_keys.json"};
        for (const QString& name : QDir(kCorpus).entryList(QDir::Files, QDir::Name))
            QTest::newRow(qPrintable(name)) << name << (none.contains(name) ? 0 : documents.contains(name) ? 1 : -1);
    }
    void replay() {
        QFETCH(QString, file);
        QFETCH(int, document);
        static cw::test::FeedPath path;
        QElapsedTimer clock;
        clock.start();
        const bool decoded = path.run(cw::test::readAll(kCorpus + u'/' + file));
        // A panel held longer than a ping may hold it is a freeze (generous for sanitizer builds).
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
        QVERIFY2(path.inconsistency().isEmpty(), qPrintable(path.inconsistency()));
        QVERIFY(document < 0 || decoded == bool(document));
        if (file == QLatin1String("realistic.json")) // the path reached the rows
            QVERIFY(path.delegate().view().nowTitle.startsWith(QStringLiteral("Marlowe Vance")) &&
                    path.delegate().view().rows[0].shown && path.delegate().feed().fullNext.size() == 9);
    }
};

QTEST_MAIN(TestFuzzCorpus)
#include "tst_fuzz_corpus.moc"
