#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// The running program's own release identity, from its information dictionary (Info.json).
namespace BundleVersion {

// A "CFBundleVersion" value read as a decimal integer: an optional sign and one or more ASCII digits,
// nothing else, within the signed 64-bit range. Anything else (missing, not a string, "1.2.3") is 0.
qint64 buildNumber(const QJsonValue& value);
qint64 currentBuild(const std::optional<QJsonObject>& info);
// "CFBundleShortVersionString", or "?" when it is missing or not a string.
QString shortVersion(const std::optional<QJsonObject>& info);

} // namespace BundleVersion
