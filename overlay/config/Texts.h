#pragma once
// Interface texts in the chosen language. L() reads the process-wide language fixed at start-up;
// textFor() and autoLang() take their inputs explicitly so tests can drive them. The language is one of
// the settings (config/Settings.h): fixed on the main thread at start-up, then read from any thread.

#include <QString>
#include <QStringList>

namespace cw {

// The languages the table speaks, in the order autoLang checks them.
const QStringList& supportedLanguages();

// The text for key in lang: the language's own text, else English, else the key itself.
QString textFor(const QString& lang, const QString& key);

// The text for key in the interface language chosen at start-up.
QString L(const QString& key);

// The interface language chosen at start-up (settings().LANG), for code that words texts of its own.
QString interfaceLanguage();

// The language from the user's preferred languages (most preferred first): the first entry's first two
// letters, lower-cased, when the table speaks it; "en" otherwise. "C"/"POSIX" entries are no preference.
QString autoLang(const QStringList& preferredLanguages);

// autoLang over the platform's preferred UI languages.
QString autoLang();

} // namespace cw
