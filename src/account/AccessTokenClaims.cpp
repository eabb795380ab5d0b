#include "account/AccessTokenClaims.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <cmath>

std::optional<QJsonObject> AccessTokenClaims::payload(const QString& token) {
    const QStringList pieces = token.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (pieces.size() < 2)
        return std::nullopt;
    QString text = pieces.at(1);
    text.replace(QLatin1Char('-'), QLatin1Char('+')).replace(QLatin1Char('_'), QLatin1Char('/'));
    while (text.size() % 4 != 0)
        text.append(QLatin1Char('='));
    const auto bytes =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    // toLatin1 turns characters outside Latin-1 into "?", which the strict decoder refuses.
    if (!bytes)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<qint64> AccessTokenClaims::expiry(const QString& token) {
    const auto claims = payload(token);
    if (!claims)
        return std::nullopt;
    const QJsonValue exp = claims->value(QStringLiteral("exp"));
    if (!exp.isDouble() || !std::isfinite(exp.toDouble()))
        return std::nullopt;
    return qint64(std::floor(exp.toDouble()));
}
