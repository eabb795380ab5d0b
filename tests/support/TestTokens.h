#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// Access tokens shaped like the sign-in service's (header.payload.signature, Base64url without
// padding); the signature is never checked by the program.
namespace TestTokens {

inline QString fromPayload(const QByteArray& payloadText) {
    const auto encode = [](const QByteArray& bytes) {
        return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    };
    return QString::fromLatin1(encode(R"({"alg":"HS256","typ":"JWT"})") + '.' + encode(payloadText) + '.' +
                               encode("signature"));
}

inline QString expiringAt(qint64 exp, const QString& subject = QStringLiteral("user-1")) {
    return fromPayload(QJsonDocument(QJsonObject{{QStringLiteral("sub"), subject},
                                                 {QStringLiteral("exp"), double(exp)},
                                                 {QStringLiteral("role"), QStringLiteral("authenticated")}})
                           .toJson(QJsonDocument::Compact));
}

inline QJsonObject user(const QString& email = QStringLiteral("user@example.com"),
                        const QString& phone = {}) {
    return QJsonObject{{QStringLiteral("id"), QStringLiteral("user-1")},
                       {QStringLiteral("aud"), QStringLiteral("authenticated")},
                       {QStringLiteral("email"), email},
                       {QStringLiteral("phone"), phone}};
}

// The service's answer to a verification or a renewal.
inline QJsonObject session(const QString& accessToken, const QString& refreshToken, qint64 expiresAt,
                           const QJsonObject& account = user()) {
    return QJsonObject{{QStringLiteral("access_token"), accessToken},
                       {QStringLiteral("token_type"), QStringLiteral("bearer")},
                       {QStringLiteral("expires_in"), 3600},
                       {QStringLiteral("expires_at"), double(expiresAt)},
                       {QStringLiteral("refresh_token"), refreshToken},
                       {QStringLiteral("user"), account}};
}

} // namespace TestTokens
