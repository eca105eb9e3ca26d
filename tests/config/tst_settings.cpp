// Start-up settings computed from an injected environment, home and resource directory; the engine port
// and the feed address read from the port file. Unreadable and hostile files are tst_hostile_files' part.

#include "config/Settings.h"
#include "support/TestTree.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace cw;
using cw::test::TestTree;

namespace {

QProcessEnvironment envWith(const char* name, const char* value) {
    QProcessEnvironment env;
    env.insert(QString::fromUtf8(name), QString::fromUtf8(value));
    return env;
}

QString supportOf(const TestTree& tree, const QString& name = QStringLiteral("Crate Warden")) {
    return tree.home() + QStringLiteral("/Library/Application Support/") + name;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void interpreterAndScript_data() {
        QTest::addColumn<QProcessEnvironment>("env");
        QTest::addColumn<QStringList>("files"); // in the resource directory
        QTest::addColumn<QString>("py");
        QTest::addColumn<QString>("script");
        const QString python = QStringLiteral("/usr/bin/python3");
        QTest::newRow("TRK_PYTHON unset; source only")
            << QProcessEnvironment() << QStringList{"live_next.py", "update_check.pyc"} << python << "live_next.py";
        QTest::newRow("TRK_PYTHON empty; .pyc beside .py")
            << envWith("TRK_PYTHON", "") << QStringList{"live_next.py", "live_next.pyc"} << python << "live_next.pyc";
        QTest::newRow("TRK_PYTHON with spaces; no script")
            << envWith("TRK_PYTHON", "/opt/My Python/py") << QStringList{} << "/opt/My Python/py"
            << "live_next.py";
    }
    void interpreterAndScript() {
        QFETCH(QProcessEnvironment, env);
        QFETCH(QStringList, files);
        QFETCH(QString, py);
        QFETCH(QString, script);
        TestTree tree;
        for (const QString& name : files)
            tree.writeApp(name, "# engine\n");
        const Settings s = computeSettings(tree.inputs(env));
        QCOMPARE(s.PY, py);
        QCOMPARE(s.SCRIPT, tree.appDir() + u'/' + script);
        QCOMPARE(s.DIR, tree.appDir());
    }

    void language_data() {
        QTest::addColumn<QProcessEnvironment>("env");
        QTest::addColumn<QByteArray>("profile"); // null: no profile file
        QTest::addColumn<QString>("expected");   // the system prefers it-IT
        const QProcessEnvironment none;
        const QByteArray german = R"({"engine": 1, "language": "de", "x": "fr"})";
        QTest::newRow("TRK_LANG regional") << envWith("TRK_LANG", "fr-CA") << german << "fr";
        QTest::newRow("TRK_LANG capitals stay") << envWith("TRK_LANG", "EN") << german << "EN";
        QTest::newRow("TRK_LANG one letter -> profile") << envWith("TRK_LANG", "f") << german << "de";
        QTest::newRow("TRK_LANG one letter -> system") << envWith("TRK_LANG", "f") << QByteArray() << "it";
        QTest::newRow("profile with region") << none << QByteArray(R"({"language" :  "es-ES"})") << "es";
        QTest::newRow("profile capitals -> system") << none << QByteArray(R"({"language": "FR"})") << "it";
        QTest::newRow("profile without language") << none << QByteArray(R"({"engine": "de"})") << "it";
        // Larger than the small-file limit, well within the profile's own.
        QTest::newRow("profile with much else")
            << none << "{\"history\": \"" + QByteArray(512 * 1024, 'x') + "\", \"language\": \"pt\"}"
            << "pt";
    }
    void language() {
        QFETCH(QProcessEnvironment, env);
        QFETCH(QByteArray, profile);
        QFETCH(QString, expected);
        TestTree tree;
        if (!profile.isNull())
            tree.write(supportOf(tree) + QStringLiteral("/profile.json"), profile);
        QCOMPARE(computeSettings(tree.inputs(env, {QStringLiteral("it-IT")})).LANG, expected);
    }

    void brand_data() {
        QTest::addColumn<QByteArray>("file"); // null: no brand file
        QTest::addColumn<QString>("brand");
        QTest::addColumn<QString>("supportName");
        const auto row = [](const char* name, const QByteArray& file, const char* brand, const char* full) {
            QTest::newRow(name) << file << QString::fromUtf8(brand) << QString::fromUtf8(full);
        };
        row("missing", QByteArray(), "Warden", "Crate Warden");
        row("both", "BRAND = {\"BRAND_NAME\", \"Vinyl Vault\", \"BRAND_SHORT\", \"Vault\"}\n", "Vault", "Vinyl Vault");
        row("full name only", "(\"BRAND_NAME\", \"Deck Hand Pro\")\n", "Warden", "Deck Hand Pro");
        row("spaces kept whole", "\"BRAND_SHORT\", \"  Night  Shift \"\n", "  Night  Shift ", "Crate Warden");
        row("first match wins", "BRAND_SHORT\", \"One\"\nBRAND_SHORT\", \"Two\"\n", "One", "Crate Warden");
        row("empty value", "BRAND_SHORT\", \"\"\nBRAND_NAME\", \"\"\n", "Warden", "Crate Warden");
    }
    void brand() {
        QFETCH(QByteArray, file);
        QFETCH(QString, brand);
        QFETCH(QString, supportName);
        TestTree tree;
        if (!file.isNull())
            tree.writeApp(QStringLiteral("brand.py"), file);
        const Settings s = computeSettings(tree.inputs());
        QCOMPARE(s.BRAND, brand);
        QCOMPARE(s.SUPPORT_NAME, supportName);
        // The support directory is named after the full name, exists after start-up and holds the position.
        QCOMPARE(s.SUPPORT, supportOf(tree, supportName));
        QVERIFY(QFileInfo(s.SUPPORT).isDir());
        QCOMPARE(s.POS, s.SUPPORT + QStringLiteral("/.overlay_pos"));
    }

    void portText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("spaces and line break") << " 1025\n" << qint64(1025);
        QTest::newRow("plus sign") << "+1025" << qint64(1025);
        QTest::newRow("1024 is too low") << "1024" << kDefaultEnginePort;
        QTest::newRow("unit after number") << "80x" << kDefaultEnginePort;
        QTest::newRow("empty") << "" << kDefaultEnginePort;
        QTest::newRow("sign only") << "+" << kDefaultEnginePort;
        QTest::newRow("two numbers") << "9000 9001" << kDefaultEnginePort;
        QTest::newRow("hex") << "0x2000" << kDefaultEnginePort;
        QTest::newRow("leading zeros") << "0009000" << qint64(9000);
        QTest::newRow("non-ASCII digits") << QString::fromUtf8("٩٠٠٠") << kDefaultEnginePort;
        QTest::newRow("largest 64-bit") << "9223372036854775807" << qint64(9223372036854775807);
        QTest::newRow("just past 64 bits") << "9223372036854775808" << kDefaultEnginePort;
    }
    void portText() {
        QFETCH(QString, text);
        QFETCH(qint64, expected);
        QCOMPARE(parseEnginePort(text), expected);
    }

    void portFileIsReadOnEveryUse() {
        TestTree tree;
        const QString file = tree.install().SUPPORT + QStringLiteral("/port");
        QCOMPARE(JSON_URL(), QUrl(QStringLiteral("http://localhost:8787/json")));
        tree.write(file, " 1025\n");
        QCOMPARE(enginePort(), 1025);
        QCOMPARE(JSON_URL(), QUrl(QStringLiteral("http://localhost:1025/json")));
        // A port no address can carry leaves no usable address: requests then fail like a missing engine.
        tree.write(file, "70000");
        QCOMPARE(enginePort(), 70000);
        QVERIFY(!JSON_URL().isValid());
        QVERIFY(!feedUrlForPort(9223372036854775807).isValid());
        QFile::remove(file);
        QCOMPARE(JSON_URL().port(), 8787);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
