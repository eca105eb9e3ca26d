#include "support/TestTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace cw::test {

TestTree::TestTree() {
    QDir().mkpath(home());
    QDir().mkpath(appDir());
}

QString TestTree::write(const QString& path, const QByteArray& bytes) const {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return path;
}

StartupInputs TestTree::inputs(const QProcessEnvironment& env, const QStringList& languages) const {
    return StartupInputs{appDir(), home(), env, languages};
}

const Settings& TestTree::install(const QProcessEnvironment& env, const QStringList& languages) const {
    installSettings(computeSettings(inputs(env, languages)));
    return settings();
}

} // namespace cw::test
