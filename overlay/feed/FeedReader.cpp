#include "feed/FeedReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QStringDecoder>

#include <algorithm>

namespace cw {

namespace {

struct Encoding {
    QStringConverter::Encoding encoding;
    qsizetype bom; // bytes of byte-order mark to skip
};

// The encoding of JSON text from its first bytes: a byte-order mark, else the pattern of zero bytes that
// the first two characters (both ASCII in any JSON text) leave (RFC 4627 §3, RFC 8259 §8.1).
Encoding encodingOf(const QByteArray& bytes) {
    const auto starts = [&bytes](std::initializer_list<uchar> prefix) {
        return bytes.size() >= qsizetype(prefix.size()) &&
               std::equal(prefix.begin(), prefix.end(), bytes.cbegin(), [](uchar a, char b) { return a == uchar(b); });
    };
    if (starts({0x00, 0x00, 0xfe, 0xff}))
        return {QStringConverter::Utf32BE, 4};
    if (starts({0xff, 0xfe, 0x00, 0x00}))
        return {QStringConverter::Utf32LE, 4};
    if (starts({0xfe, 0xff}))
        return {QStringConverter::Utf16BE, 2};
    if (starts({0xff, 0xfe}))
        return {QStringConverter::Utf16LE, 2};
    if (starts({0xef, 0xbb, 0xbf}))
        return {QStringConverter::Utf8, 3};
    if (bytes.size() >= 4) {
        const bool z0 = bytes[0] == 0, z1 = bytes[1] == 0, z2 = bytes[2] == 0, z3 = bytes[3] == 0;
        if (z0 && z1 && z2 && !z3)
            return {QStringConverter::Utf32BE, 0};
        if (!z0 && z1 && z2 && z3)
            return {QStringConverter::Utf32LE, 0};
        if (z0 && !z1 && z2 && !z3)
            return {QStringConverter::Utf16BE, 0};
        if (!z0 && z1 && !z2 && z3)
            return {QStringConverter::Utf16LE, 0};
    }
    return {QStringConverter::Utf8, 0};
}

} // namespace

std::optional<QJsonObject> decodeJsonObject(const QByteArray& bytes) {
    const Encoding found = encodingOf(bytes);
    QByteArray utf8 = found.bom ? bytes.mid(found.bom) : bytes;
    if (found.encoding != QStringConverter::Utf8) {
        QStringDecoder decoder(found.encoding);
        const QString text = decoder.decode(utf8);
        if (decoder.hasError())
            return std::nullopt; // a code point past U+10FFFF, say
        utf8 = text.toUtf8();
    }
    if (utf8.isEmpty())
        return std::nullopt;
    const QJsonDocument decoded = QJsonDocument::fromJson(utf8);
    if (!decoded.isObject())
        return std::nullopt;
    return decoded.object();
}

std::optional<QJsonObject> decodeFeed(const QByteArray& body) {
    return decodeJsonObject(body);
}

QString displayText(QString text) {
    const auto control = [](QChar c) {
        return (c >= u'\u202A' && c <= u'\u202E') || (c >= u'\u2066' && c <= u'\u2069') || c == u'\u200E' ||
               c == u'\u200F' || c == u'\u061C';
    };
    const auto changed = [&control](QChar c) { return control(c) || c == u'\u2028' || c == u'\u2029'; };
    if (std::none_of(text.cbegin(), text.cend(), changed))
        return text; // as good as every text: no copy
    text.removeIf(control);
    return text.replace(u'\u2028', u' ').replace(u'\u2029', u' ');
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
