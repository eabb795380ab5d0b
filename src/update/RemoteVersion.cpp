#include "update/RemoteVersion.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <limits>

namespace {

std::optional<RemoteVersion> fail(QString* error, const QString& why) {
    if (error)
        *error = why;
    return std::nullopt;
}

QString missing(const char* member) {
    return QStringLiteral("The release record has no \"%1\".").arg(QLatin1String(member));
}

QString wrongType(const char* member, const char* expected) {
    return QStringLiteral("The release record's \"%1\" is not %2.")
        .arg(QLatin1String(member), QLatin1String(expected));
}

// A JSON number that is a whole number within the signed 64-bit range.
std::optional<qint64> integerOf(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong)
        return variant.toLongLong();
    const double number = value.toDouble();
    // 2^63 is the first double beyond the range; below it every whole double converts exactly.
    if (!std::isfinite(number) || std::trunc(number) != number || number < -9223372036854775808.0 ||
        number >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<qint64>(number);
}

} // namespace

std::optional<RemoteVersion> RemoteVersion::decode(const QByteArray& body, QString* error) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(error, QStringLiteral("The release record is not valid JSON: %1 at offset %2.")
                               .arg(parseError.errorString())
                               .arg(parseError.offset));
    if (!document.isObject())
        return fail(error, QStringLiteral("The release record is not a JSON object."));
    const QJsonObject object = document.object();

    RemoteVersion record;
    const QJsonValue version = object.value(QLatin1String("version"));
    if (version.isUndefined() || version.isNull())
        return fail(error, missing("version"));
    if (!version.isString())
        return fail(error, wrongType("version", "a string"));
    record.version = version.toString();

    const QJsonValue build = object.value(QLatin1String("build"));
    if (build.isUndefined() || build.isNull())
        return fail(error, missing("build"));
    const std::optional<qint64> buildNumber = integerOf(build);
    if (!buildNumber)
        return fail(error, wrongType("build", "an integer"));
    record.build = *buildNumber;

    const QJsonValue downloadURL = object.value(QLatin1String("download_url"));
    if (downloadURL.isUndefined() || downloadURL.isNull())
        return fail(error, missing("download_url"));
    if (!downloadURL.isString())
        return fail(error, wrongType("download_url", "a string"));
    record.downloadURL = downloadURL.toString();

    const QJsonValue notes = object.value(QLatin1String("release_notes"));
    if (!notes.isUndefined() && !notes.isNull()) {
        if (!notes.isString())
            return fail(error, wrongType("release_notes", "a string"));
        record.releaseNotes = notes.toString();
    }
    return record;
}
