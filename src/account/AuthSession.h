#pragma once

#include "account/AuthUser.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// A signed-in session: the bearer token for requests, the token that renews it, and the user.
struct AuthSession {
    QString accessToken;
    QString tokenType = QStringLiteral("bearer");
    // Seconds the access token was valid for when it was issued.
    qint64 expiresIn = 0;
    // When the access token expires, in seconds since 1970 UTC; nothing when unknown.
    std::optional<qint64> expiresAt;
    // Empty for a session installed from an access token alone: such a session cannot be renewed.
    QString refreshToken;
    AuthUser user;

    // From the service's token answer (access_token, token_type, expires_in, expires_at,
    // refresh_token, user) or from a stored session. `now` fills expires_at when only expires_in is
    // given. Nothing when the access token or the user is missing.
    static std::optional<AuthSession> fromJson(const QJsonObject& json, const QDateTime& now);
    QJsonObject toJson() const;
    QByteArray toStoredBytes() const;

    // Whether the access token has expired or will within `margin` seconds; an unknown expiry counts
    // as expired.
    bool isExpired(const QDateTime& now, qint64 marginSeconds = 0) const;
};
