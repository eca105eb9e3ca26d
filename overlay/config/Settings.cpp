#include "config/Settings.h"

#include "config/FileText.h"
#include "config/Texts.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QStandardPaths>

#include <limits>

namespace cw {

namespace {

// The brand and profile files belong to the engine's side and may carry much more than the one value we
// look for (a profile can hold a whole library's worth of preferences); only a runaway file is refused.
constexpr qint64 kMaxSharedFileBytes = 16 * 1024 * 1024;

Settings& mutableSettings() {
    static Settings current;
    return current;
}

QString firstCapture(const QString& text, const QString& pattern) {
    const QRegularExpression re(pattern);
    const QRegularExpressionMatch match = re.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

// TRK_PYTHON as given, or, for a bare name such as "python3", the program of that name PATH finds first.
// Resolved once here, so the engine and the update check start the same program, however each starts it.
QString interpreter(const QProcessEnvironment& env) {
    const QString python = env.value(QStringLiteral("TRK_PYTHON"));
    if (python.isEmpty())
        return QStringLiteral("/usr/bin/python3");
    if (python.contains(u'/'))
        return python;
    const QStringList path = env.value(QStringLiteral("PATH")).split(u':', Qt::SkipEmptyParts);
    const QString found = path.isEmpty() ? QString() : QStandardPaths::findExecutable(python, path);
    return found.isEmpty() ? python : found; // not found: it fails to start, as any missing program does
}

} // namespace

StartupInputs StartupInputs::fromProcess() {
    return StartupInputs{QDir::currentPath(), QDir::homePath(), QProcessEnvironment::systemEnvironment(),
                         QLocale::system().uiLanguages()};
}

QString script(const QString& dir, const QString& name) {
    const QString compiled = dir + u'/' + name + QStringLiteral(".pyc");
    if (QFileInfo::exists(compiled))
        return compiled;
    return dir + u'/' + name + QStringLiteral(".py");
}

QString script(const QString& name) {
    return script(settings().DIR, name);
}

QString brandValue(const QString& dir, const QString& pattern, const QString& fallback) {
    const auto text = readUtf8File(dir + QStringLiteral("/brand.py"), kMaxSharedFileBytes);
    if (!text)
        return fallback;
    const QString value = firstCapture(*text, pattern);
    return value.isEmpty() ? fallback : value;
}

QString chooseLanguage(const QProcessEnvironment& env, const QString& support, const QStringList& preferred) {
    const QString override = env.value(QStringLiteral("TRK_LANG"));
    if (override.size() >= 2)
        return override.left(2);
    if (const auto profile = readUtf8File(support + QStringLiteral("/profile.json"), kMaxSharedFileBytes)) {
        const QString code = firstCapture(*profile, QStringLiteral(R"("language"[^"]*"([a-z]{2}))"));
        if (code.size() == 2)
            return code;
    }
    return autoLang(preferred);
}

Settings computeSettings(const StartupInputs& in) {
    Settings s;
    s.DIR = in.cwd;
    s.SCRIPT = script(s.DIR, QStringLiteral("live_next"));
    s.PY = interpreter(in.env);
    s.W = 360.0;
    s.GREEN = QColor::fromRgbF(0.48f, 0.86f, 0.71f, 1.0f);
    s.DIM = QColor::fromRgbF(0.64f, 0.64f, 0.64f, 1.0f);
    s.GOLD = QColor::fromRgbF(0.96f, 0.78f, 0.35f, 1.0f);
    s.RED = QColor::fromRgbF(0.95f, 0.42f, 0.42f, 1.0f);
    s.CYAN = QColor::fromRgbF(0.45f, 0.78f, 0.95f, 1.0f);
    s.RANKGRAY = QColor::fromRgbF(0.56f, 0.56f, 0.56f, 1.0f);
    s.BRAND = brandValue(s.DIR, QStringLiteral(R"(BRAND_SHORT", "([^"]+))"), QStringLiteral("Warden"));
    s.SUPPORT_NAME = brandValue(s.DIR, QStringLiteral(R"(BRAND_NAME", "([^"]+))"), QStringLiteral("Crate Warden"));
    s.SUPPORT = in.home + QStringLiteral("/Library/Application Support/") + s.SUPPORT_NAME;
    QDir().mkpath(s.SUPPORT);
    s.POS = s.SUPPORT + QStringLiteral("/.overlay_pos");
    s.LANG = chooseLanguage(in.env, s.SUPPORT, in.preferredLanguages);
    return s;
}

const Settings& settings() {
    return mutableSettings();
}

void installSettings(const Settings& s) {
    mutableSettings() = s;
}

qint64 parseEnginePort(const QString& text) {
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    if (i == t.size())
        return kDefaultEnginePort;
    // Accumulate toward the sign so that the most negative value still fits.
    qint64 value = 0;
    constexpr qint64 maxValue = std::numeric_limits<qint64>::max();
    constexpr qint64 minValue = std::numeric_limits<qint64>::min();
    for (; i < t.size(); ++i) {
        const QChar c = t[i];
        if (c < u'0' || c > u'9')
            return kDefaultEnginePort;
        const int digit = c.unicode() - u'0';
        if (negative) {
            if (value < (minValue + digit) / 10)
                return kDefaultEnginePort;
            value = value * 10 - digit;
        } else {
            if (value > (maxValue - digit) / 10)
                return kDefaultEnginePort;
            value = value * 10 + digit;
        }
    }
    return value > 1024 ? value : kDefaultEnginePort;
}

qint64 enginePort(const QString& support) {
    const auto text = readUtf8File(support + QStringLiteral("/port"));
    return text ? parseEnginePort(*text) : kDefaultEnginePort;
}

qint64 enginePort() {
    return enginePort(settings().SUPPORT);
}

QUrl feedUrlForPort(qint64 port) {
    // QUrl rejects ports beyond 65535 and leaves the URL invalid, which is what we want.
    return QUrl(QStringLiteral("http://localhost:%1/json").arg(port));
}

QUrl JSON_URL() {
    return feedUrlForPort(enginePort());
}

} // namespace cw
