#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// A registered account. Times are Unix seconds; 0 = never.
struct AuthUser {
    QString id;
    QString email;
    QString phone;
    qint64 createdAt = 0;
    qint64 updatedAt = 0;
    qint64 lastSignInAt = 0;
    qint64 emailConfirmedAt = 0;
    qint64 phoneConfirmedAt = 0;
};

// One signed-in device. Only hashes of refresh tokens are kept, so the files hold no usable secret.
struct AuthSession {
    QString id;
    QString userId;
    QByteArray refreshTokenHash;       // the current one
    QList<QByteArray> usedTokenHashes; // rotated away; presenting one again is refused
    qint64 createdAt = 0;
    qint64 refreshedAt = 0;
};

// Users and sessions, kept in users.json and sessions.json in the data folder and rewritten
// atomically after every change.
class AuthStore {
public:
    explicit AuthStore(QString dataDirectory);

    // Reads the files; false with the reason when they exist but cannot be read.
    bool load(QString* error);

    std::optional<AuthUser> userById(const QString& id) const;
    std::optional<AuthUser> userByEmail(const QString& email) const;
    std::optional<AuthUser> userByPhone(const QString& phone) const;
    AuthUser createUser(const QString& email, const QString& phone, qint64 now);
    void updateUser(const AuthUser& user);

    std::optional<AuthSession> session(const QString& id) const;
    // The session whose current or former refresh token has this hash, and whether it was the current.
    std::optional<std::pair<AuthSession, bool>> sessionByRefreshHash(const QByteArray& hash) const;
    void saveSession(const AuthSession& session);
    void removeSession(const QString& id);
    void removeSessionsOfUser(const QString& userId);

    static QByteArray hashToken(const QByteArray& token);

private:
    bool saveUsers();
    bool saveSessions();
    bool writeJson(const QString& name, const QJsonObject& object);

    QString m_directory;
    QHash<QString, AuthUser> m_users;
    QHash<QString, AuthSession> m_sessions;
};
