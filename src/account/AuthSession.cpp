#include "account/AuthSession.h"

#include <QJsonDocument>
#include <QJsonValue>

std::optional<AuthSession> AuthSession::fromJson(const QJsonObject& json, const QDateTime& now) {
    const QString accessToken = json.value(QStringLiteral("access_token")).toString();
    if (accessToken.isEmpty())
        return std::nullopt;
    const auto user = AuthUser::fromJson(json.value(QStringLiteral("user")).toObject());
    if (!user)
        return std::nullopt;

    AuthSession session;
    session.accessToken = accessToken;
    const QString tokenType = json.value(QStringLiteral("token_type")).toString();
    if (!tokenType.isEmpty())
        session.tokenType = tokenType;
    session.expiresIn = qint64(json.value(QStringLiteral("expires_in")).toDouble());
    const QJsonValue expiresAt = json.value(QStringLiteral("expires_at"));
    if (expiresAt.isDouble())
        session.expiresAt = qint64(expiresAt.toDouble());
    else if (json.value(QStringLiteral("expires_in")).isDouble())
        session.expiresAt = now.toSecsSinceEpoch() + session.expiresIn;
    session.refreshToken = json.value(QStringLiteral("refresh_token")).toString();
    session.user = *user;
    return session;
}

QJsonObject AuthSession::toJson() const {
    QJsonObject json{
        {QStringLiteral("access_token"), accessToken},     {QStringLiteral("token_type"), tokenType},
        {QStringLiteral("expires_in"), double(expiresIn)}, {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("user"), user.toJson()},
    };
    if (expiresAt)
        json.insert(QStringLiteral("expires_at"), double(*expiresAt));
    return json;
}

QByteArray AuthSession::toStoredBytes() const {
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

bool AuthSession::isExpired(const QDateTime& now, qint64 marginSeconds) const {
    if (!expiresAt)
        return true;
    return *expiresAt - now.toSecsSinceEpoch() <= marginSeconds;
}
