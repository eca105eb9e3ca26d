// Interface texts: the lookup's fallbacks, the language taken from the system, and a table complete in
// every language.

#include "config/Settings.h"
#include "config/TextTable.h"
#include "config/Texts.h"
#include "support/TestTree.h"

#include <QSet>
#include <QTest>

using namespace cw;

class TestTexts : public QObject {
    Q_OBJECT
private slots:
    void lookup_data() {
        QTest::addColumn<QString>("lang");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const char* lang, const char* key, const char* expected) {
            QTest::newRow(name) << QString::fromUtf8(lang) << QString::fromUtf8(key) << QString::fromUtf8(expected);
        };
        row("he from STR", "he", "played", "נוגנו הערב");
        row("de from TR", "de", "played", "heute gespielt");
        row("capitals fall back to en", "EN", "played", "played tonight");
        row("unsupported falls back to en", "nl", "btn_other", "↻ Other");
        row("unknown key is itself", "de", "no_such_key", "no_such_key");
    }
    void lookup() {
        QFETCH(QString, lang);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QCOMPARE(textFor(lang, key), expected);
    }

    void lookupUsesTheStartupLanguage() {
        test::TestTree tree;
        QProcessEnvironment env;
        env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("it"));
        tree.install(env);
        QCOMPARE(L(QStringLiteral("loading")), QString::fromUtf8("caricamento…"));
        env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("XX"));
        tree.install(env);
        QCOMPARE(L(QStringLiteral("loading")), QString::fromUtf8("loading…"));
    }

    void autoLanguage_data() {
        QTest::addColumn<QStringList>("preferred");
        QTest::addColumn<QString>("expected");
        QTest::newRow("pt-BR") << QStringList{"pt-BR"} << "pt";
        QTest::newRow("zh-Hans") << QStringList{"zh-Hans"} << "en";
        QTest::newRow("empty list") << QStringList{} << "en";
        QTest::newRow("DE-AT") << QStringList{"DE-AT"} << "de";
        QTest::newRow("only the first counts") << QStringList{"zh-Hans", "de-DE", "fr"} << "en";
        QTest::newRow("C locale") << QStringList{"C"} << "en";
        QTest::newRow("one letter") << QStringList{"d"} << "en";
    }
    void autoLanguage() {
        QFETCH(QStringList, preferred);
        QFETCH(QString, expected);
        QCOMPARE(autoLang(preferred), expected);
        QVERIFY(supportedLanguages().contains(autoLang()));
    }

    void everyLanguageHasEveryKey() {
        // A key mistyped or missing in one language would silently show English there.
        const TextsByKey& str = textTableSTR();
        const QSet<QString> keys(str.keyBegin(), str.keyEnd());
        QSet<QString> languages{"en", "he"};
        for (auto it = str.cbegin(); it != str.cend(); ++it) {
            QCOMPARE(QSet<QString>(it->keyBegin(), it->keyEnd()), languages);
            QVERIFY2(!it->values().contains(QString()), qPrintable(it.key()));
        }
        for (auto it = textTableTR().cbegin(); it != textTableTR().cend(); ++it) {
            languages.insert(it.key());
            QCOMPARE(QSet<QString>(it->keyBegin(), it->keyEnd()), keys);
            QVERIFY2(!it->values().contains(QString()), qPrintable(it.key()));
        }
        const QStringList supported = supportedLanguages();
        QCOMPARE(QSet<QString>(supported.cbegin(), supported.cend()), languages);
    }
};

QTEST_GUILESS_MAIN(TestTexts)
#include "tst_texts.moc"
