#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>

#include <optional>

// The signed-in account as the sign-in service describes it. The whole record is kept, so nothing the
// service sends is lost when the session is stored and read back.
struct AuthUser {
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id)
    Q_PROPERTY(QString email MEMBER email)
    Q_PROPERTY(QString phone MEMBER phone)

public:
    QString id;
    QString email;
    QString phone;
    QJsonObject record;

    // Nothing when the record has no "id".
    static std::optional<AuthUser> fromJson(const QJsonObject& record);
    QJsonObject toJson() const { return record; }

    bool operator==(const AuthUser& other) const { return record == other.record; }
};

Q_DECLARE_METATYPE(AuthUser)
