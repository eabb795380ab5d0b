#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// Reads an access token as a JSON Web Token, without verifying its signature.
namespace AccessTokenClaims {

// The payload object, or nothing when the token has fewer than two non-empty "."-separated pieces or
// its second piece is not Base64url-encoded JSON object text.
std::optional<QJsonObject> payload(const QString& token);
// The "exp" member (seconds since 1970 UTC) when the payload has one that is a number.
std::optional<qint64> expiry(const QString& token);

} // namespace AccessTokenClaims
