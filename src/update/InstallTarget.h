#pragma once

#include <QString>

// Where an update is installed, given where the running program's install tree is.
struct InstallTarget {
    // The tree to replace: the running tree when it lies under /opt or ~/.local/opt, else /opt/Voxlet.
    QString path;
    // The running tree belongs to the system's package manager (under /usr): never overwrite it.
    bool managedBySystem = false;

    static InstallTarget resolve(const QString& runningTree, const QString& homeDirectory);
    // The install tree of this process: the folder above the one holding the executable.
    static QString runningTree();

    inline static const QString defaultPath = QStringLiteral("/opt/Voxlet");
};
