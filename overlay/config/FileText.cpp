#include "config/FileText.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cw {

std::optional<QString> readUtf8File(const QString& path, qint64 maxBytes) {
    // Devices and directories are turned away before anything is opened (opening some devices has effects).
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    // The path may be swapped for a FIFO between that look and the open, and opening a FIFO that nobody
    // writes blocks for ever: open without blocking and judge what was actually opened.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
    // Read one byte past the limit so an oversized file (or one that grew since the look) is recognised.
    const QByteArray bytes = file.read(maxBytes + 1);
    // A read that fails (an I/O error) is no content, not an empty file.
    if (file.error() != QFileDevice::NoError || bytes.size() > maxBytes)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace cw
