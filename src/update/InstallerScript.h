#pragma once

#include <QByteArray>
#include <QString>

// The bash script that replaces the install tree once the program has quit. It is run as
//   /bin/bash <script> <archive> <target tree> <pid of the running program>
// and writes its log to "VoxletUpdater.log" in the script's own folder.
namespace InstallerScript {

// The script's text, as shipped in the program's resources.
QByteArray text();
// "VoxletUpdater-" + a new UUID + ".sh".
QString newFileName();
inline const QString logFileName = QStringLiteral("VoxletUpdater.log");

} // namespace InstallerScript
