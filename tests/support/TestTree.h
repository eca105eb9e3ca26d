#pragma once
// A throw-away home and resource directory for one test, with settings installed to point at them.
// Everything lives under one QTemporaryDir that is removed when the tree goes out of scope.

#include "config/Settings.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace cw::test {

class TestTree {
public:
    TestTree();

    QString root() const { return m_dir.path(); }
    QString home() const { return m_dir.path() + QStringLiteral("/home"); }
    QString appDir() const { return m_dir.path() + QStringLiteral("/app"); }

    // Writes bytes to a file (parents created) and returns its path.
    QString write(const QString& path, const QByteArray& bytes) const;
    QString writeApp(const QString& name, const QByteArray& bytes) const {
        return write(appDir() + u'/' + name, bytes);
    }

    // Startup inputs for this tree: cwd = appDir, home = home, the given environment and languages.
    StartupInputs inputs(const QProcessEnvironment& env = QProcessEnvironment(),
                         const QStringList& languages = {QStringLiteral("en-US")}) const;

    // Computes and installs settings for this tree; returns them.
    const Settings& install(const QProcessEnvironment& env = QProcessEnvironment(),
                            const QStringList& languages = {QStringLiteral("en-US")}) const;

private:
    QTemporaryDir m_dir;
};

} // namespace cw::test
