#include "update/BundleVersion.h"

namespace BundleVersion {

qint64 buildNumber(const QJsonValue& value) {
    if (!value.isString())
        return 0;
    const QString text = value.toString();
    qsizetype digitsFrom = 0;
    if (text.startsWith(QLatin1Char('+')) || text.startsWith(QLatin1Char('-')))
        digitsFrom = 1;
    if (text.size() == digitsFrom)
        return 0;
    for (qsizetype i = digitsFrom; i < text.size(); ++i) {
        if (text.at(i) < QLatin1Char('0') || text.at(i) > QLatin1Char('9'))
            return 0;
    }
    bool ok = false;
    const qint64 number = text.toLongLong(&ok, 10);
    return ok ? number : 0;
}

qint64 currentBuild(const std::optional<QJsonObject>& info) {
    return info ? buildNumber(info->value(QLatin1String("CFBundleVersion"))) : 0;
}

QString shortVersion(const std::optional<QJsonObject>& info) {
    const QJsonValue value = info ? info->value(QLatin1String("CFBundleShortVersionString")) : QJsonValue();
    return value.isString() ? value.toString() : QStringLiteral("?");
}

} // namespace BundleVersion
