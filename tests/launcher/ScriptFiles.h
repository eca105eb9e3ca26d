#pragma once
// Throw-away bundle trees built out of shell scripts, for the tests that run bootpad as a real process.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

namespace cw::test {

// text as one single-quoted shell word.
inline QByteArray shellQuote(const QString& text) {
    return '\'' + text.toUtf8().replace('\'', "'\\''") + '\'';
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

// "Crate Warden.app" in a temporary directory whose own name has a space, holding a copy of a launcher
// binary (the product's bootpad unless told otherwise), beside a directory for what the scripts record.
class BundleTree {
public:
    explicit BundleTree(const QString& launcher = QStringLiteral(CW_BUNDLE_DIR "/Contents/MacOS/bootpad")) {
        QDir().mkpath(macos());
        QDir().mkpath(appDir());
        QDir().mkpath(records());
        QFile::copy(launcher, bootpad());
        QFile(bootpad()).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString root() const { return m_dir.path() + QStringLiteral("/my apps"); }
    QString bundle() const { return root() + QStringLiteral("/Crate Warden.app"); }
    QString macos() const { return bundle() + QStringLiteral("/Contents/MacOS"); }
    QString bootpad() const { return macos() + QStringLiteral("/bootpad"); }
    QString appDir() const { return bundle() + QStringLiteral("/Contents/Resources/app"); }
    QString shipped() const {
        return bundle() + QStringLiteral("/Contents/Frameworks/Python.framework/Versions/Current/bin/python3.11");
    }
    QString records() const { return root() + QStringLiteral("/records"); }
    QString record(const QString& name) const { return records() + u'/' + name; }
    QByteArray recorded(const QString& name) const { return readFile(record(name)); }

private:
    QTemporaryDir m_dir;
};

} // namespace cw::test
