#include "update/InstallTarget.h"

#include <QCoreApplication>
#include <QDir>

namespace {

// Strictly below `base`: the base folder itself is never a target (that would replace all of /opt).
bool liesUnder(const QString& path, const QString& base) {
    return path.startsWith(base + QLatin1Char('/')) && path.size() > base.size() + 1;
}

} // namespace

InstallTarget InstallTarget::resolve(const QString& runningTree, const QString& homeDirectory) {
    const QString tree = QDir::cleanPath(runningTree);
    if (tree == QLatin1String("/usr") || liesUnder(tree, QStringLiteral("/usr")))
        return InstallTarget{QString(), true};
    QStringList bases{QStringLiteral("/opt")};
    if (!homeDirectory.isEmpty())
        bases.append(QDir::cleanPath(homeDirectory + QStringLiteral("/.local/opt")));
    for (const QString& base : bases) {
        if (liesUnder(tree, base))
            return InstallTarget{tree, false};
    }
    return InstallTarget{defaultPath, false};
}

QString InstallTarget::runningTree() {
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
}
