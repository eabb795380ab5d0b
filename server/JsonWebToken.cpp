#include "JsonWebToken.h"

#include <QJsonDocument>
#include <QMessageAuthenticationCode>

namespace {

constexpr auto base64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray signature(const QByteArray& signingInput, const QByteArray& secret) {
    return QMessageAuthenticationCode::hash(signingInput, secret, QCryptographicHash::Sha256)
        .toBase64(base64Url);
}

std::optional<QJsonObject> decodeObject(const QByteArray& piece) {
    const auto decoded = QByteArray::fromBase64Encoding(piece, QByteArray::Base64UrlEncoding |
                                                                   QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(*decoded, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

// Comparing in constant time keeps the signature from being guessed byte by byte.
bool equalConstantTime(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

namespace JsonWebToken {

QByteArray sign(const QJsonObject& claims, const QByteArray& secret) {
    const QJsonObject header{{QStringLiteral("alg"), QStringLiteral("HS256")},
                             {QStringLiteral("typ"), QStringLiteral("JWT")}};
    const QByteArray input = QJsonDocument(header).toJson(QJsonDocument::Compact).toBase64(base64Url) + '.' +
                             QJsonDocument(claims).toJson(QJsonDocument::Compact).toBase64(base64Url);
    return input + '.' + signature(input, secret);
}

Verification verify(const QByteArray& token, const QByteArray& secret, qint64 nowSeconds) {
    const QList<QByteArray> pieces = token.split('.');
    if (pieces.size() != 3 || pieces[0].isEmpty() || pieces[1].isEmpty() || pieces[2].isEmpty())
        return {std::nullopt, QStringLiteral("malformed token")};
    const std::optional<QJsonObject> header = decodeObject(pieces[0]);
    if (!header || header->value(QStringLiteral("alg")).toString() != QLatin1String("HS256"))
        return {std::nullopt, QStringLiteral("unsupported token header")};
    if (!equalConstantTime(signature(pieces[0] + '.' + pieces[1], secret), pieces[2]))
        return {std::nullopt, QStringLiteral("bad signature")};
    const std::optional<QJsonObject> claims = decodeObject(pieces[1]);
    if (!claims)
        return {std::nullopt, QStringLiteral("malformed claims")};
    const QJsonValue exp = claims->value(QStringLiteral("exp"));
    if (!exp.isDouble())
        return {std::nullopt, QStringLiteral("no expiry")};
    if (qint64(exp.toDouble()) <= nowSeconds)
        return {std::nullopt, QStringLiteral("token is expired")};
    return {claims, {}};
}

} // namespace JsonWebToken
