#include "config/FileText.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace cw {

std::optional<QString> readUtf8File(const QString& path, qint64 maxBytes) {
    const QFileInfo info(path);
    if (!info.isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Read one byte past the limit so an oversized file (or one that grew since stat) is recognised.
    const QByteArray bytes = file.read(maxBytes + 1);
    if (bytes.size() > maxBytes)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace cw
