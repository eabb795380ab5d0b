#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// HS256 JSON Web Tokens: the access tokens of the sign-in service, checked by every backend exchange.
namespace JsonWebToken {

QByteArray sign(const QJsonObject& claims, const QByteArray& secret);

struct Verification {
    std::optional<QJsonObject> claims;
    QString error; // "malformed", "bad signature", "expired", ... when claims is empty
};

// Checks the header (HS256), the signature and "exp" against `nowSeconds` (Unix time).
Verification verify(const QByteArray& token, const QByteArray& secret, qint64 nowSeconds);

} // namespace JsonWebToken
