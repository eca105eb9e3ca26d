#include "config/Texts.h"

#include "config/Settings.h"
#include "config/TextTable.h"

#include <QLocale>

namespace cw {

const QStringList& supportedLanguages() {
    static const QStringList languages = {"he", "es", "pt", "de", "fr", "it", "en"};
    return languages;
}

QString textFor(const QString& lang, const QString& key) {
    const auto byLanguage = textTableTR().constFind(lang);
    if (byLanguage != textTableTR().cend()) {
        const auto text = byLanguage->constFind(key);
        if (text != byLanguage->cend())
            return *text;
    }
    const auto byKey = textTableSTR().constFind(key);
    if (byKey != textTableSTR().cend()) {
        const auto text = byKey->constFind(lang);
        if (text != byKey->cend())
            return *text;
        const auto english = byKey->constFind(QStringLiteral("en"));
        if (english != byKey->cend())
            return *english;
    }
    return key;
}

QString L(const QString& key) {
    return textFor(settings().LANG, key);
}

QString interfaceLanguage() {
    return settings().LANG;
}

QString autoLang(const QStringList& preferredLanguages) {
    QString first;
    for (const QString& entry : preferredLanguages) {
        // Qt reports the C locale as "C"; that says nothing about what the user reads.
        if (entry == QLatin1String("C") || entry == QLatin1String("POSIX"))
            continue;
        first = entry;
        break;
    }
    if (first.isEmpty())
        return QStringLiteral("en");
    const QString code = first.left(2).toLower();
    return supportedLanguages().contains(code) ? code : QStringLiteral("en");
}

QString autoLang() {
    return autoLang(QLocale::system().uiLanguages());
}

} // namespace cw
