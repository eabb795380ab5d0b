#include "backend/BundleInfo.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

namespace BundleInfo {

QString defaultPath() {
    const QString overridden = qEnvironmentVariable("VOXLET_INFO_FILE");
    if (!overridden.isEmpty())
        return overridden;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../share/voxlet/Info.json");
}

std::optional<QJsonObject> read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QJsonObject> main() {
    return read(defaultPath());
}

} // namespace BundleInfo
