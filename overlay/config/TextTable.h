#pragma once
// The interface text table, built once on first use and read-only afterwards (safe from any thread).
// STR holds English and Hebrew by text key; TR holds Spanish, Portuguese, German, French and Italian
// by language code. Look texts up through L() rather than reading the tables directly.

#include <QHash>
#include <QString>

namespace cw {

using TextsByKey = QHash<QString, QHash<QString, QString>>;      // key -> language -> text
using TextsByLanguage = QHash<QString, QHash<QString, QString>>; // language -> key -> text

const TextsByKey& textTableSTR();
const TextsByLanguage& textTableTR();

} // namespace cw
