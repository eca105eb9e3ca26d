#pragma once
// Typed reads of the pick feed. Every key is optional: a value of another type, null included, reads
// exactly as an absent key, and the caller takes its fallback. Pure functions, any thread.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace cw {

using Pick = QJsonObject;
using PickList = QList<QJsonObject>;

// JSON text whose top level is an object, in UTF-8, UTF-16 or UTF-32 (told apart by the first bytes, a
// byte-order mark allowed); nothing for empty bytes, anything that is not such JSON, or JSON of another
// kind. The one decoder of everything the engine's side sends: the feed and the update report.
std::optional<QJsonObject> decodeJsonObject(const QByteArray& bytes);

// The feed document a poll's body carries: decodeJsonObject of the body.
std::optional<QJsonObject> decodeFeed(const QByteArray& body);

// A JSON string.
std::optional<QString> readString(const QJsonObject& object, QLatin1StringView key);
// A JSON number with an exact integer value that fits in 64 bits (127.5 and "127" are absent).
std::optional<qint64> readInteger(const QJsonObject& object, QLatin1StringView key);
// Any JSON number.
std::optional<double> readNumber(const QJsonObject& object, QLatin1StringView key);
// JSON true or false.
std::optional<bool> readBool(const QJsonObject& object, QLatin1StringView key);
// A JSON object.
std::optional<QJsonObject> readObject(const QJsonObject& object, QLatin1StringView key);
// A JSON array whose every element is an object; one element of another kind makes the whole absent.
std::optional<PickList> readObjectArray(const QJsonObject& object, QLatin1StringView key);

// text as the panel may show it: without the bidirectional embedding, override and isolate controls
// (U+202A–U+202E, U+2066–U+2069) and the direction marks (U+200E, U+200F, U+061C), with which a text
// reorders what follows it on its line (a right-to-left override in a key showed 128 BPM as "821", a
// right-to-left mark after "8A" moved it behind the BPM), and with the line and paragraph separators (U+2028,
// U+2029) as spaces, which would break a one-line label in two. Right-to-left letters stay as they are.
QString displayText(QString text);

inline QString stringOr(const QJsonObject& o, QLatin1StringView key, const QString& fallback) {
    return readString(o, key).value_or(fallback);
}
inline qint64 integerOr(const QJsonObject& o, QLatin1StringView key, qint64 fallback) {
    return readInteger(o, key).value_or(fallback);
}
inline bool boolOr(const QJsonObject& o, QLatin1StringView key, bool fallback) {
    return readBool(o, key).value_or(fallback);
}

} // namespace cw
