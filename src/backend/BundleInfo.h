#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// The program's information dictionary: share/voxlet/Info.json beside the installed binary
// (<exe dir>/../share/voxlet/Info.json), or the file named by VOXLET_INFO_FILE.
namespace BundleInfo {

QString defaultPath();
// The JSON object of the file, or nothing when it is missing or is not a JSON object.
std::optional<QJsonObject> read(const QString& path);
// read(defaultPath()), afresh on every call.
std::optional<QJsonObject> main();

} // namespace BundleInfo
