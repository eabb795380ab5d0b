#pragma once

#include <QString>

// The folder that holds the downloaded archive, the installer script and its log. It must be private
// to the user, so that nobody else can swap the archive before it is installed or plant a link where
// the log is written: "VoxletUpdate" in $XDG_RUNTIME_DIR when that is a private folder of ours,
// else "VoxletUpdate-<uid>" in the temporary folder, made 0700.
struct UpdateFolder {
    QString path;  // empty on failure
    QString error; // why there is no usable folder

    bool isUsable() const { return !path.isEmpty(); }

    static UpdateFolder prepare(const QString& runtimeDirectory, const QString& temporaryDirectory);

    inline static const QString archiveName = QStringLiteral("VoxletUpdate.tar.gz");
};
