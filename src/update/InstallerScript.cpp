#include "update/InstallerScript.h"

#include <QFile>
#include <QUuid>

namespace InstallerScript {

QByteArray text() {
    QFile file(QStringLiteral(":/voxlet/update/VoxletUpdater.sh"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString newFileName() {
    return QStringLiteral("VoxletUpdater-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
           QStringLiteral(".sh");
}

} // namespace InstallerScript
