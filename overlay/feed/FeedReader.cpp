#include "feed/FeedReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

namespace cw {

std::optional<QJsonObject> decodeFeed(const QByteArray& body) {
    if (body.isEmpty())
        return std::nullopt;
    const QJsonDocument decoded = QJsonDocument::fromJson(body);
    if (!decoded.isObject())
        return std::nullopt;
    return decoded.object();
}

std::optional<QString> readString(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue v = object.value(key);
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

std::optional<qint64> readInteger(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue v = object.value(key);
    if (!v.isDouble())
        return std::nullopt;
    // toInteger answers its default for fractional or out-of-range numbers; two different defaults
    // tell that case apart from a real integer.
    const qint64 a = v.toInteger(0);
    const qint64 b = v.toInteger(1);
    if (a != b)
        return std::nullopt;
    return a;
}

std::optional<double> readNumber(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue v = object.value(key);
    if (!v.isDouble())
        return std::nullopt;
    return v.toDouble();
}

std::optional<bool> readBool(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue v = object.value(key);
    if (!v.isBool())
        return std::nullopt;
    return v.toBool();
}

std::optional<QJsonObject> readObject(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue v = object.value(key);
    if (!v.isObject())
        return std::nullopt;
    return v.toObject();
}

std::optional<PickList> readObjectArray(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue v = object.value(key);
    if (!v.isArray())
        return std::nullopt;
    const QJsonArray array = v.toArray();
    PickList picks;
    picks.reserve(array.size());
    for (const QJsonValue& element : array) {
        if (!element.isObject())
            return std::nullopt;
        picks.append(element.toObject());
    }
    return picks;
}

} // namespace cw
