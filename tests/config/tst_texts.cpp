// Interface texts: the lookup's fallbacks, the language taken from the system, and the shape of the table.

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
    void lookup_data();
    void lookup();
    void lookupUsesTheStartupLanguage();
    void autoLanguage_data();
    void autoLanguage();
    void tableShape();
};

void TestTexts::lookup_data() {
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    QTest::newRow("he from STR") << "he"
                                 << "played" << QString::fromUtf8("נוגנו הערב");
    QTest::newRow("de from TR") << "de"
                                << "played"
                                << "heute gespielt";
    QTest::newRow("en") << "en"
                        << "played"
                        << "played tonight";
    QTest::newRow("capitals fall back to en") << "EN"
                                              << "played"
                                              << "played tonight";
    QTest::newRow("unsupported falls back to en") << "nl"
                                                  << "played"
                                                  << "played tonight";
    QTest::newRow("empty language falls back to en") << ""
                                                     << "btn_other" << QString::fromUtf8("↻ Other");
    QTest::newRow("unknown key") << "de"
                                 << "no_such_key"
                                 << "no_such_key";
    QTest::newRow("unknown key in en") << "en"
                                       << "Loading"
                                       << "Loading";
    QTest::newRow("empty key") << "fr"
                               << ""
                               << "";
    QTest::newRow("language code is not a key") << "fr"
                                                << "fr"
                                                << "fr";
}

void TestTexts::lookup() {
    QFETCH(QString, lang);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QCOMPARE(textFor(lang, key), expected);
}

void TestTexts::lookupUsesTheStartupLanguage() {
    test::TestTree tree;
    QProcessEnvironment env;
    env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("it"));
    tree.install(env);
    QCOMPARE(L(QStringLiteral("loading")), QString::fromUtf8("caricamento…"));
    env.insert(QStringLiteral("TRK_LANG"), QStringLiteral("XX"));
    tree.install(env);
    QCOMPARE(L(QStringLiteral("loading")), QString::fromUtf8("loading…"));
}

void TestTexts::autoLanguage_data() {
    QTest::addColumn<QStringList>("preferred");
    QTest::addColumn<QString>("expected");
    QTest::newRow("pt-BR") << QStringList{"pt-BR"} << "pt";
    QTest::newRow("zh-Hans") << QStringList{"zh-Hans"} << "en";
    QTest::newRow("empty list") << QStringList{} << "en";
    QTest::newRow("DE-AT") << QStringList{"DE-AT"} << "de";
    QTest::newRow("he") << QStringList{"he-IL", "en-US"} << "he";
    QTest::newRow("only the first counts") << QStringList{"zh-Hans", "de-DE", "fr"} << "en";
    QTest::newRow("duplicates") << QStringList{"fr-FR", "fr-FR", "fr"} << "fr";
    QTest::newRow("C locale") << QStringList{"C"} << "en";
    QTest::newRow("one letter") << QStringList{"d"} << "en";
    QTest::newRow("empty entry") << QStringList{""} << "en";
}

void TestTexts::autoLanguage() {
    QFETCH(QStringList, preferred);
    QFETCH(QString, expected);
    QCOMPARE(autoLang(preferred), expected);
    QVERIFY(supportedLanguages().contains(autoLang()));
}

void TestTexts::tableShape() {
    // Every key in both halves of the table and every language complete: a key mistyped in one
    // language would silently show English there.
    const TextsByKey& str = textTableSTR();
    const TextsByLanguage& tr = textTableTR();
    QCOMPARE(str.size(), 24);
    const QSet<QString> keys(str.keyBegin(), str.keyEnd());
    for (auto it = str.cbegin(); it != str.cend(); ++it) {
        const QSet<QString> langs(it->keyBegin(), it->keyEnd());
        QCOMPARE(langs, (QSet<QString>{"en", "he"}));
        for (const QString& text : *it)
            QVERIFY2(!text.isEmpty(), qPrintable(it.key()));
    }
    const QSet<QString> trLangs(tr.keyBegin(), tr.keyEnd());
    QCOMPARE(trLangs, (QSet<QString>{"es", "pt", "de", "fr", "it"}));
    for (auto it = tr.cbegin(); it != tr.cend(); ++it) {
        QCOMPARE(QSet<QString>(it->keyBegin(), it->keyEnd()), keys);
        for (const QString& text : *it)
            QVERIFY2(!text.isEmpty(), qPrintable(it.key()));
    }
    QCOMPARE(supportedLanguages(), (QStringList{"he", "es", "pt", "de", "fr", "it", "en"}));
}

QTEST_GUILESS_MAIN(TestTexts)
#include "tst_texts.moc"
