#pragma once
// Small file helpers for the tests that build throw-away bundle trees out of shell scripts.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTest>

namespace cw::test {

// text as one single-quoted shell word.
inline QByteArray shellQuote(const QString& text) {
    QByteArray bytes = text.toUtf8();
    bytes.replace('\'', "'\\''");
    return '\'' + bytes + '\'';
}

// Writes bytes to path (parents created), readable by all and, when asked, executable by all.
inline void writeFile(const QString& path, const QByteArray& bytes, bool executable = false) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(bytes);
    file.close();
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QVERIFY(file.setPermissions(permissions));
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a script wrote with printf '%s\0' "$@".
inline QStringList nulSeparated(const QByteArray& bytes) {
    QStringList parts;
    for (const QByteArray& part : bytes.split('\0'))
        parts << QString::fromUtf8(part);
    if (!parts.isEmpty() && parts.last().isEmpty())
        parts.removeLast();
    return parts;
}

} // namespace cw::test
