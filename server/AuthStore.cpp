#include "AuthStore.h"

#include "ServerLog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QUuid>

namespace {

const QString usersFile = QStringLiteral("users.json");
const QString sessionsFile = QStringLiteral("sessions.json");

QJsonObject toJson(const AuthUser& u) {
    return {{QStringLiteral("id"), u.id},
            {QStringLiteral("email"), u.email},
            {QStringLiteral("phone"), u.phone},
            {QStringLiteral("created_at"), u.createdAt},
            {QStringLiteral("updated_at"), u.updatedAt},
            {QStringLiteral("last_sign_in_at"), u.lastSignInAt},
            {QStringLiteral("email_confirmed_at"), u.emailConfirmedAt},
            {QStringLiteral("phone_confirmed_at"), u.phoneConfirmedAt}};
}

AuthUser userFromJson(const QJsonObject& o) {
    AuthUser u;
    u.id = o.value(QStringLiteral("id")).toString();
    u.email = o.value(QStringLiteral("email")).toString();
    u.phone = o.value(QStringLiteral("phone")).toString();
    u.createdAt = qint64(o.value(QStringLiteral("created_at")).toDouble());
    u.updatedAt = qint64(o.value(QStringLiteral("updated_at")).toDouble());
    u.lastSignInAt = qint64(o.value(QStringLiteral("last_sign_in_at")).toDouble());
    u.emailConfirmedAt = qint64(o.value(QStringLiteral("email_confirmed_at")).toDouble());
    u.phoneConfirmedAt = qint64(o.value(QStringLiteral("phone_confirmed_at")).toDouble());
    return u;
}

QJsonObject toJson(const AuthSession& s) {
    QJsonArray used;
    for (const QByteArray& h : s.usedTokenHashes)
        used.append(QString::fromLatin1(h));
    return {{QStringLiteral("id"), s.id},
            {QStringLiteral("user_id"), s.userId},
            {QStringLiteral("refresh_token_sha256"), QString::fromLatin1(s.refreshTokenHash)},
            {QStringLiteral("used_refresh_token_sha256"), used},
            {QStringLiteral("created_at"), s.createdAt},
            {QStringLiteral("refreshed_at"), s.refreshedAt}};
}

AuthSession sessionFromJson(const QJsonObject& o) {
    AuthSession s;
    s.id = o.value(QStringLiteral("id")).toString();
    s.userId = o.value(QStringLiteral("user_id")).toString();
    s.refreshTokenHash = o.value(QStringLiteral("refresh_token_sha256")).toString().toLatin1();
    for (const QJsonValue& v : o.value(QStringLiteral("used_refresh_token_sha256")).toArray())
        s.usedTokenHashes.append(v.toString().toLatin1());
    s.createdAt = qint64(o.value(QStringLiteral("created_at")).toDouble());
    s.refreshedAt = qint64(o.value(QStringLiteral("refreshed_at")).toDouble());
    return s;
}

// A file that is missing is an empty store; one that is there must parse.
std::optional<QJsonObject> readJson(const QString& path, QString* error) {
    QFile file(path);
    if (!file.exists())
        return QJsonObject();
    if (!file.open(QIODevice::ReadOnly)) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        *error = path + QStringLiteral(": not a JSON object (") + parseError.errorString() + QLatin1Char(')');
        return std::nullopt;
    }
    return doc.object();
}

constexpr int keptUsedTokens = 20;

} // namespace

AuthStore::AuthStore(QString dataDirectory)
    : m_directory(std::move(dataDirectory)) {}

bool AuthStore::load(QString* error) {
    QString why;
    const auto users = readJson(QDir(m_directory).filePath(usersFile), &why);
    const auto sessions = users ? readJson(QDir(m_directory).filePath(sessionsFile), &why) : std::nullopt;
    if (!users || !sessions) {
        if (error)
            *error = why;
        return false;
    }
    m_users.clear();
    m_sessions.clear();
    for (const QJsonValue& v : users->value(QStringLiteral("users")).toArray()) {
        AuthUser u = userFromJson(v.toObject());
        if (!u.id.isEmpty())
            m_users.insert(u.id, u);
    }
    for (const QJsonValue& v : sessions->value(QStringLiteral("sessions")).toArray()) {
        AuthSession s = sessionFromJson(v.toObject());
        if (!s.id.isEmpty() && m_users.contains(s.userId))
            m_sessions.insert(s.id, s);
    }
    return true;
}

std::optional<AuthUser> AuthStore::userById(const QString& id) const {
    auto it = m_users.constFind(id);
    return it == m_users.constEnd() ? std::nullopt : std::optional<AuthUser>(*it);
}

std::optional<AuthUser> AuthStore::userByEmail(const QString& email) const {
    for (const AuthUser& u : m_users)
        if (!email.isEmpty() && u.email == email)
            return u;
    return std::nullopt;
}

std::optional<AuthUser> AuthStore::userByPhone(const QString& phone) const {
    for (const AuthUser& u : m_users)
        if (!phone.isEmpty() && u.phone == phone)
            return u;
    return std::nullopt;
}

AuthUser AuthStore::createUser(const QString& email, const QString& phone, qint64 now) {
    AuthUser u;
    u.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    u.email = email;
    u.phone = phone;
    u.createdAt = now;
    u.updatedAt = now;
    m_users.insert(u.id, u);
    saveUsers();
    return u;
}

void AuthStore::updateUser(const AuthUser& user) {
    m_users.insert(user.id, user);
    saveUsers();
}

std::optional<AuthSession> AuthStore::session(const QString& id) const {
    auto it = m_sessions.constFind(id);
    return it == m_sessions.constEnd() ? std::nullopt : std::optional<AuthSession>(*it);
}

std::optional<std::pair<AuthSession, bool>> AuthStore::sessionByRefreshHash(const QByteArray& hash) const {
    for (const AuthSession& s : m_sessions) {
        if (s.refreshTokenHash == hash)
            return std::make_pair(s, true);
        if (s.usedTokenHashes.contains(hash))
            return std::make_pair(s, false);
    }
    return std::nullopt;
}

void AuthStore::saveSession(const AuthSession& session) {
    AuthSession kept = session;
    while (kept.usedTokenHashes.size() > keptUsedTokens)
        kept.usedTokenHashes.removeFirst();
    m_sessions.insert(kept.id, kept);
    saveSessions();
}

void AuthStore::removeSession(const QString& id) {
    if (m_sessions.remove(id))
        saveSessions();
}

void AuthStore::removeSessionsOfUser(const QString& userId) {
    bool changed = false;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (it->userId == userId) {
            it = m_sessions.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed)
        saveSessions();
}

QByteArray AuthStore::hashToken(const QByteArray& token) {
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex();
}

bool AuthStore::saveUsers() {
    QJsonArray users;
    for (const AuthUser& u : m_users)
        users.append(toJson(u));
    return writeJson(usersFile, QJsonObject{{QStringLiteral("users"), users}});
}

bool AuthStore::saveSessions() {
    QJsonArray sessions;
    for (const AuthSession& s : m_sessions)
        sessions.append(toJson(s));
    return writeJson(sessionsFile, QJsonObject{{QStringLiteral("sessions"), sessions}});
}

bool AuthStore::writeJson(const QString& name, const QJsonObject& object) {
    QSaveFile file(QDir(m_directory).filePath(name));
    if (!file.open(QIODevice::WriteOnly)) {
        serverLog(QStringLiteral("Auth: cannot write %1: %2").arg(file.fileName(), file.errorString()));
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(object).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        serverLog(QStringLiteral("Auth: cannot write %1: %2").arg(file.fileName(), file.errorString()));
        return false;
    }
    return true;
}
