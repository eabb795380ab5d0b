#pragma once

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

// Where the program's services are: the sign-in service, the web site and the Voxlet backend.
struct AppConfiguration {
    QUrl supabaseURL;
    QString supabaseAnonKey;
    std::optional<QUrl> webBaseURL;
    std::optional<QUrl> apiBaseURL;

    // From the program's information dictionary, read afresh on every call; nothing when the
    // sign-in service's address or key is missing, not a string, empty, or not a URL.
    static std::optional<AppConfiguration> load();
    static std::optional<AppConfiguration> load(const QString& infoFilePath);
    static std::optional<AppConfiguration> fromInfo(const QJsonObject& info);

    // base with `component` appended as path component(s), keeping the base's own path.
    static QUrl appendingPathComponent(const QUrl& base, const QString& component);
};
