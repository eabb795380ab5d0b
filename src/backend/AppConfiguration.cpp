#include "backend/AppConfiguration.h"

#include "backend/BundleInfo.h"
#include "dictation/TextHelpers.h"

#include <QJsonValue>

namespace {

std::optional<QUrl> parsedURL(const QString& text) {
    if (text.isEmpty())
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<QUrl> optionalURL(const QJsonObject& info, const QString& key) {
    const QJsonValue value = info.value(key);
    if (!value.isString())
        return std::nullopt;
    return parsedURL(value.toString());
}

} // namespace

std::optional<AppConfiguration> AppConfiguration::load() {
    const auto info = BundleInfo::main();
    return info ? fromInfo(*info) : std::nullopt;
}

std::optional<AppConfiguration> AppConfiguration::load(const QString& infoFilePath) {
    const auto info = BundleInfo::read(infoFilePath);
    return info ? fromInfo(*info) : std::nullopt;
}

std::optional<AppConfiguration> AppConfiguration::fromInfo(const QJsonObject& info) {
    const QJsonValue url = info.value(QStringLiteral("VoxletSupabaseURL"));
    if (!url.isString())
        return std::nullopt;
    const QJsonValue key = info.value(QStringLiteral("VoxletSupabaseAnonKey"));
    if (!key.isString())
        return std::nullopt;
    if (url.toString().isEmpty() || key.toString().isEmpty())
        return std::nullopt;
    const auto supabaseURL = parsedURL(url.toString());
    if (!supabaseURL)
        return std::nullopt;

    AppConfiguration configuration;
    configuration.supabaseURL = *supabaseURL;
    configuration.supabaseAnonKey = key.toString();
    configuration.webBaseURL = optionalURL(info, QStringLiteral("VoxletWebBaseURL"));
    configuration.apiBaseURL = optionalURL(info, QStringLiteral("VoxletAPIBaseURL"));
    return configuration;
}

QUrl AppConfiguration::appendingPathComponent(const QUrl& base, const QString& component) {
    QUrl url = base;
    url.setPath(TextHelpers::appendingPathComponent(base.path(), component));
    return url;
}
