#include "account/AuthUser.h"

#include <QJsonValue>

std::optional<AuthUser> AuthUser::fromJson(const QJsonObject& json) {
    const QJsonValue id = json.value(QStringLiteral("id"));
    if (!id.isString() || id.toString().isEmpty())
        return std::nullopt;
    AuthUser user;
    user.id = id.toString();
    user.email = json.value(QStringLiteral("email")).toString();
    user.phone = json.value(QStringLiteral("phone")).toString();
    user.record = json;
    return user;
}
