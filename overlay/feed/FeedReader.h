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

// The feed document a poll's body carries: the body decoded as JSON when its top level is an object;
// nothing for an empty body, anything that is not JSON, or JSON of another kind.
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
