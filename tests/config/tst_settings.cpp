// Start-up settings computed from an injected environment, home and resource directory; the engine port
// and the feed address read from the port file.

#include "config/Settings.h"
#include "config/Texts.h"
#include "support/TestTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace cw;
using cw::test::TestTree;

namespace {

QProcessEnvironment envWith(std::initializer_list<std::pair<const char*, const char*>> values) {
    QProcessEnvironment env;
    for (const auto& [name, value] : values)
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
    void interpreter_data();
    void interpreter();
    void language_data();
    void language();
    void entryScript_data();
    void entryScript();
    void brand_data();
    void brand();
    void directories();
    void supportDirectoryThatCannotBeCreated();
    void portText_data();
    void portText();
    void portFile_data();
    void portFile();
    void feedAddressFollowsThePortFile();
};

void TestSettings::interpreter_data() {
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("unset") << false << QString() << "/usr/bin/python3";
    QTest::newRow("empty") << true << ""
                           << "/usr/bin/python3";
    QTest::newRow("named") << true << "/opt/py/bin/python3.12"
                           << "/opt/py/bin/python3.12";
    QTest::newRow("with spaces") << true << "/Applications/My Python/python"
                                 << "/Applications/My Python/python";
}

void TestSettings::interpreter() {
    QFETCH(bool, set);
    QFETCH(QString, value);
    QFETCH(QString, expected);
    TestTree tree;
    QProcessEnvironment env;
    if (set)
        env.insert(QStringLiteral("TRK_PYTHON"), value);
    QCOMPARE(computeSettings(tree.inputs(env)).PY, expected);
}

void TestSettings::language_data() {
    QTest::addColumn<QProcessEnvironment>("env");
    QTest::addColumn<QByteArray>("profile"); // null: no profile file
    QTest::addColumn<QStringList>("preferred");
    QTest::addColumn<QString>("expected");

    const QStringList italian{QStringLiteral("it-IT")};
    const QByteArray german = R"({"engine": 1, "language": "de", "x": "fr"})";
    QTest::newRow("TRK_LANG regional") << envWith({{"TRK_LANG", "fr-CA"}}) << german << italian << "fr";
    QTest::newRow("TRK_LANG capitals stay") << envWith({{"TRK_LANG", "EN"}}) << german << italian << "EN";
    QTest::newRow("TRK_LANG unsupported stays") << envWith({{"TRK_LANG", "nl"}}) << QByteArray() << italian << "nl";
    QTest::newRow("TRK_LANG one letter -> profile") << envWith({{"TRK_LANG", "f"}}) << german << italian << "de";
    QTest::newRow("TRK_LANG one letter, no profile -> system")
        << envWith({{"TRK_LANG", "f"}}) << QByteArray() << italian << "it";
    QTest::newRow("TRK_LANG empty -> profile") << envWith({{"TRK_LANG", ""}}) << german << italian << "de";
    QTest::newRow("profile") << QProcessEnvironment() << german << italian << "de";
    QTest::newRow("profile value with region")
        << QProcessEnvironment() << QByteArray(R"({"language" :  "es-ES"})") << italian << "es";
    QTest::newRow("profile empty value -> system")
        << QProcessEnvironment() << QByteArray(R"({"language": ""})") << italian << "it";
    QTest::newRow("profile capitals -> system")
        << QProcessEnvironment() << QByteArray(R"({"language": "FR"})") << italian << "it";
    QTest::newRow("profile without language -> system")
        << QProcessEnvironment() << QByteArray(R"({"engine": "de"})") << italian << "it";
    QTest::newRow("profile not UTF-8 -> system")
        << QProcessEnvironment() << QByteArray("{\"language\": \"de\" \xff\xfe}") << italian << "it";
    QTest::newRow("profile with much else in it")
        << QProcessEnvironment()
        << "{\"history\": \"" + QByteArray(512 * 1024, 'x') + "\", \"language\": \"pt\"}" << italian << "pt";
    QTest::newRow("nothing -> system") << QProcessEnvironment() << QByteArray() << italian << "it";
    QTest::newRow("nothing, C locale -> en")
        << QProcessEnvironment() << QByteArray() << QStringList{QStringLiteral("C")} << "en";
}

void TestSettings::language() {
    QFETCH(QProcessEnvironment, env);
    QFETCH(QByteArray, profile);
    QFETCH(QStringList, preferred);
    QFETCH(QString, expected);
    TestTree tree;
    if (!profile.isNull())
        tree.write(supportOf(tree) + QStringLiteral("/profile.json"), profile);
    QCOMPARE(computeSettings(tree.inputs(env, preferred)).LANG, expected);
}

void TestSettings::entryScript_data() {
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("expected");
    QTest::newRow("both") << QStringList{"live_next.py", "live_next.pyc"} << "live_next.pyc";
    QTest::newRow("compiled only") << QStringList{"live_next.pyc"} << "live_next.pyc";
    QTest::newRow("source only") << QStringList{"live_next.py"} << "live_next.py";
    QTest::newRow("neither") << QStringList{} << "live_next.py";
    QTest::newRow("other names only") << QStringList{"live_next.pyo", "update_check.pyc"} << "live_next.py";
}

void TestSettings::entryScript() {
    QFETCH(QStringList, files);
    QFETCH(QString, expected);
    TestTree tree;
    for (const QString& name : files)
        tree.writeApp(name, "# engine\n");
    QCOMPARE(computeSettings(tree.inputs()).SCRIPT, tree.appDir() + u'/' + expected);
}

void TestSettings::brand_data() {
    QTest::addColumn<QByteArray>("file"); // null: no brand file
    QTest::addColumn<QString>("brand");
    QTest::addColumn<QString>("supportName");
    QTest::newRow("missing") << QByteArray() << "Warden"
                             << "Crate Warden";
    QTest::newRow("both") << QByteArray("BRAND = {\"BRAND_NAME\", \"Vinyl Vault\", \"BRAND_SHORT\", \"Vault\"}\n")
                          << "Vault"
                          << "Vinyl Vault";
    QTest::newRow("full name only") << QByteArray("(\"BRAND_NAME\", \"Deck Hand Pro\")\n") << "Warden"
                                    << "Deck Hand Pro";
    QTest::newRow("spaces kept whole") << QByteArray("\"BRAND_SHORT\", \"  Night  Shift \"\n") << "  Night  Shift "
                                       << "Crate Warden";
    QTest::newRow("first match wins") << QByteArray("BRAND_SHORT\", \"One\"\nBRAND_SHORT\", \"Two\"\n") << "One"
                                      << "Crate Warden";
    QTest::newRow("empty value") << QByteArray("BRAND_SHORT\", \"\"\nBRAND_NAME\", \"\"\n") << "Warden"
                                 << "Crate Warden";
    QTest::newRow("unicode") << QByteArray("BRAND_SHORT\", \"Crät€\"") << QString::fromUtf8("Crät€") << "Crate Warden";
    QTest::newRow("not UTF-8") << QByteArray("BRAND_SHORT\", \"Bad\xff\"") << "Warden"
                               << "Crate Warden";
    QTest::newRow("other quoting") << QByteArray("BRAND_SHORT = 'Single'\n") << "Warden"
                                   << "Crate Warden";
}

void TestSettings::brand() {
    QFETCH(QByteArray, file);
    QFETCH(QString, brand);
    QFETCH(QString, supportName);
    TestTree tree;
    if (!file.isNull())
        tree.writeApp(QStringLiteral("brand.py"), file);
    const Settings s = computeSettings(tree.inputs());
    QCOMPARE(s.BRAND, brand);
    QCOMPARE(s.SUPPORT_NAME, supportName);
    // The support directory is named after the full name and exists after start-up.
    QCOMPARE(s.SUPPORT, supportOf(tree, supportName));
    QVERIFY(QFileInfo(s.SUPPORT).isDir());
}

void TestSettings::directories() {
    TestTree tree;
    const Settings s = computeSettings(tree.inputs());
    QCOMPARE(s.DIR, tree.appDir());
    QCOMPARE(s.POS, supportOf(tree) + QStringLiteral("/.overlay_pos"));
    QCOMPARE(s.W, 360.0);
}

void TestSettings::supportDirectoryThatCannotBeCreated() {
    // A home that is a file: the support directory cannot exist. Start-up goes on with fallbacks.
    TestTree tree;
    const QString home = tree.write(tree.root() + QStringLiteral("/not-a-dir"), "x");
    StartupInputs in = tree.inputs(QProcessEnvironment(), {QStringLiteral("fr-FR")});
    in.home = home;
    const Settings s = computeSettings(in);
    QVERIFY(!QFileInfo(s.SUPPORT).exists());
    QCOMPARE(s.LANG, QStringLiteral("fr"));
    QCOMPARE(enginePort(s.SUPPORT), kDefaultEnginePort);
}

void TestSettings::portText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("spaces and line break") << " 1025\n" << qint64(1025);
    QTest::newRow("CRLF and tabs") << "\t 40000\r\n" << qint64(40000);
    QTest::newRow("plus sign") << "+1025" << qint64(1025);
    QTest::newRow("1024 is too low") << "1024" << kDefaultEnginePort;
    QTest::newRow("1025") << "1025" << qint64(1025);
    QTest::newRow("unit after number") << "80x" << kDefaultEnginePort;
    QTest::newRow("letters") << "port" << kDefaultEnginePort;
    QTest::newRow("empty") << "" << kDefaultEnginePort;
    QTest::newRow("white space only") << " \n" << kDefaultEnginePort;
    QTest::newRow("sign only") << "+" << kDefaultEnginePort;
    QTest::newRow("negative") << "-9000" << kDefaultEnginePort;
    QTest::newRow("two numbers") << "9000 9001" << kDefaultEnginePort;
    QTest::newRow("hex") << "0x2000" << kDefaultEnginePort;
    QTest::newRow("decimal point") << "9000.0" << kDefaultEnginePort;
    QTest::newRow("leading zeros") << "0009000" << qint64(9000);
    QTest::newRow("non-ASCII digits") << QString::fromUtf8("٩٠٠٠") << kDefaultEnginePort;
    QTest::newRow("above 65535 passes") << "70000" << qint64(70000);
    QTest::newRow("largest 64-bit") << "9223372036854775807" << qint64(9223372036854775807);
    QTest::newRow("just past 64 bits") << "9223372036854775808" << kDefaultEnginePort;
    QTest::newRow("far past 64 bits") << "99999999999999999999999" << kDefaultEnginePort;
    QTest::newRow("smallest 64-bit") << "-9223372036854775808" << kDefaultEnginePort;
    QTest::newRow("below 64 bits") << "-9223372036854775809" << kDefaultEnginePort;
}

void TestSettings::portText() {
    QFETCH(QString, text);
    QFETCH(qint64, expected);
    QCOMPARE(parseEnginePort(text), expected);
}

void TestSettings::portFile_data() {
    QTest::addColumn<QByteArray>("content"); // null: no port file
    QTest::addColumn<qint64>("expected");
    QTest::newRow("missing") << QByteArray() << kDefaultEnginePort;
    QTest::newRow("number with spaces") << QByteArray(" 1025\n") << qint64(1025);
    QTest::newRow("not UTF-8") << QByteArray("50\xff") << kDefaultEnginePort;
}

void TestSettings::portFile() {
    QFETCH(QByteArray, content);
    QFETCH(qint64, expected);
    TestTree tree;
    const Settings s = computeSettings(tree.inputs());
    if (!content.isNull())
        tree.write(s.SUPPORT + QStringLiteral("/port"), content);
    QCOMPARE(enginePort(s.SUPPORT), expected);
}

void TestSettings::feedAddressFollowsThePortFile() {
    TestTree tree;
    const Settings& s = tree.install();
    QCOMPARE(JSON_URL(), QUrl(QStringLiteral("http://localhost:8787/json")));
    tree.write(s.SUPPORT + QStringLiteral("/port"), "40123\n");
    QCOMPARE(JSON_URL().toString(), QStringLiteral("http://localhost:40123/json"));
    tree.write(s.SUPPORT + QStringLiteral("/port"), "40124");
    QCOMPARE(JSON_URL().port(), 40124);
    // A port no address can carry leaves no usable address: requests then fail like a missing engine.
    tree.write(s.SUPPORT + QStringLiteral("/port"), "70000");
    QVERIFY(!JSON_URL().isValid());
    QVERIFY(!feedUrlForPort(9223372036854775807).isValid());
    QFile::remove(s.SUPPORT + QStringLiteral("/port"));
    QCOMPARE(JSON_URL().port(), 8787);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
