#include "AuthService.h"

#include "BackendConfig.h"
#include "HttpServer.h"
#include "JsonWebToken.h"
#include "ServerLog.h"
#include "platform/Scheduler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUuid>

namespace {

HttpResponse authError(int status, const QString& errorCode, const QString& message) {
    return HttpResponse::json(status, QJsonObject{{QStringLiteral("code"), status},
                                                  {QStringLiteral("error_code"), errorCode},
                                                  {QStringLiteral("msg"), message}});
}

// The token endpoint also carries the OAuth-style members older clients read.
HttpResponse tokenError(int status, const QString& errorCode, const QString& message) {
    return HttpResponse::json(status, QJsonObject{{QStringLiteral("code"), status},
                                                  {QStringLiteral("error_code"), errorCode},
                                                  {QStringLiteral("msg"), message},
                                                  {QStringLiteral("error"), QStringLiteral("invalid_grant")},
                                                  {QStringLiteral("error_description"), message}});
}

std::optional<QJsonObject> jsonBody(const HttpRequest& request) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

HttpResponse badJson() {
    return authError(400, QStringLiteral("bad_json"), QStringLiteral("Could not parse request body as JSON"));
}

QJsonValue timeValue(qint64 seconds) {
    if (seconds <= 0)
        return QJsonValue::Null;
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString normalizedEmail(const QString& email) {
    return email.trimmed().toLower();
}

// Stored as digits only, as the service stores phone numbers; separators the user typed are dropped.
QString normalizedPhone(const QString& phone) {
    QString digits = phone.trimmed();
    digits.remove(QRegularExpression(QStringLiteral("[\\s\\-().]")));
    if (digits.startsWith(QLatin1Char('+')))
        digits.remove(0, 1);
    return digits;
}

bool validEmail(const QString& email) {
    static const QRegularExpression pattern(QStringLiteral("^[^@\\s]+@[^@\\s]+\\.[^@\\s]+$"));
    return email.size() <= 254 && pattern.match(email).hasMatch();
}

bool validPhone(const QString& digits) {
    static const QRegularExpression pattern(QStringLiteral("^[1-9][0-9]{6,14}$"));
    return pattern.match(digits).hasMatch();
}

QString contactKey(const QString& email, const QString& phone) {
    return email.isEmpty() ? QStringLiteral("phone:+") + phone : QStringLiteral("email:") + email;
}

QByteArray randomToken() {
    QByteArray bytes(24, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString describe(const AuthUser& user) {
    return user.email.isEmpty() ? QStringLiteral("+") + user.phone : user.email;
}

} // namespace

AuthService::AuthService(const BackendConfig& config, QByteArray tokenSecret, Scheduler& scheduler)
    : m_config(config)
    , m_secret(std::move(tokenSecret))
    , m_scheduler(scheduler)
    , m_store(config.dataDirectory)
    , m_codes(config.dataDirectory, config.otpLifetimeSeconds, config.otpMaxAttempts) {}

bool AuthService::load(QString* error) {
    return m_store.load(error);
}

qint64 AuthService::now() const {
    return m_scheduler.currentDateTime().toSecsSinceEpoch();
}

void AuthService::registerRoutes(HttpServer& server) {
    auto bind = [this](HttpResponse (AuthService::*method)(const HttpRequest&)) {
        return [this, method](HttpRequest request) -> QCoro::Task<HttpResponse> {
            co_return (this->*method)(request);
        };
    };
    server.route("POST", QStringLiteral("/auth/v1/otp"), bind(&AuthService::sendOtp));
    server.route("POST", QStringLiteral("/auth/v1/verify"), bind(&AuthService::verify));
    server.route("GET", QStringLiteral("/auth/v1/user"), bind(&AuthService::user));
    server.route("POST", QStringLiteral("/auth/v1/token"), bind(&AuthService::token));
    server.route("POST", QStringLiteral("/auth/v1/logout"), bind(&AuthService::logout));
}

std::optional<HttpResponse> AuthService::checkApiKey(const HttpRequest& request) const {
    if (m_config.anonKey.isEmpty())
        return std::nullopt;
    const QByteArray key = request.header("apikey");
    if (key.isEmpty())
        return HttpResponse::json(
            401, QJsonObject{{QStringLiteral("message"), QStringLiteral("No API key found in request")}});
    if (key != m_config.anonKey.toUtf8())
        return HttpResponse::json(
            401, QJsonObject{{QStringLiteral("message"), QStringLiteral("Invalid API key")}});
    return std::nullopt;
}

QByteArray AuthService::bearerToken(const HttpRequest& request) {
    for (const QByteArray& name :
         {QByteArrayLiteral("authorization"), QByteArrayLiteral("x-voxlet-authorization")}) {
        const QByteArray value = request.header(name).trimmed();
        if (value.size() > 7 && value.left(7).compare("bearer ", Qt::CaseInsensitive) == 0) {
            const QByteArray token = value.mid(7).trimmed();
            if (!token.isEmpty())
                return token;
        }
    }
    return {};
}

AuthService::Check AuthService::validateAccessToken(const QByteArray& token) const {
    if (token.isEmpty())
        return {std::nullopt, QStringLiteral("no access token")};
    const JsonWebToken::Verification v = JsonWebToken::verify(token, m_secret, now());
    if (!v.claims)
        return {std::nullopt, v.error};
    const QString userId = v.claims->value(QStringLiteral("sub")).toString();
    const QString sessionId = v.claims->value(QStringLiteral("session_id")).toString();
    const std::optional<AuthUser> user = m_store.userById(userId);
    if (!user)
        return {std::nullopt, QStringLiteral("user does not exist")};
    if (sessionId.isEmpty() || !m_store.session(sessionId))
        return {std::nullopt, QStringLiteral("session does not exist (signed out?)")};
    return {Identity{*user, sessionId}, {}};
}

std::optional<HttpResponse> AuthService::authorize(const HttpRequest& request, Identity* identity) const {
    const QByteArray token = bearerToken(request);
    if (token.isEmpty())
        return authError(401, QStringLiteral("no_authorization"),
                         QStringLiteral("This endpoint requires a Bearer token"));
    const Check check = validateAccessToken(token);
    if (!check.identity) {
        serverLog(QStringLiteral("Auth: %1 %2 refused: %3")
                      .arg(QString::fromLatin1(request.method), request.path, check.error));
        if (check.error.startsWith(QLatin1String("session")))
            return authError(403, QStringLiteral("session_not_found"),
                             QStringLiteral("Session from session_id claim in JWT does not exist"));
        return authError(403, QStringLiteral("bad_jwt"), QStringLiteral("invalid JWT: ") + check.error);
    }
    *identity = *check.identity;
    return std::nullopt;
}

QJsonObject AuthService::userJson(const AuthUser& u) const {
    const QString provider = u.email.isEmpty() ? QStringLiteral("phone") : QStringLiteral("email");
    const qint64 confirmed = std::max(u.emailConfirmedAt, u.phoneConfirmedAt);
    return QJsonObject{
        {QStringLiteral("id"), u.id},
        {QStringLiteral("aud"), QStringLiteral("authenticated")},
        {QStringLiteral("role"), QStringLiteral("authenticated")},
        {QStringLiteral("email"), u.email},
        {QStringLiteral("phone"), u.phone},
        {QStringLiteral("email_confirmed_at"), timeValue(u.emailConfirmedAt)},
        {QStringLiteral("phone_confirmed_at"), timeValue(u.phoneConfirmedAt)},
        {QStringLiteral("confirmed_at"), timeValue(confirmed)},
        {QStringLiteral("last_sign_in_at"), timeValue(u.lastSignInAt)},
        {QStringLiteral("app_metadata"), QJsonObject{{QStringLiteral("provider"), provider},
                                                     {QStringLiteral("providers"), QJsonArray{provider}}}},
        {QStringLiteral("user_metadata"), QJsonObject()},
        {QStringLiteral("identities"), QJsonArray()},
        {QStringLiteral("created_at"), timeValue(u.createdAt)},
        {QStringLiteral("updated_at"), timeValue(u.updatedAt)},
        {QStringLiteral("is_anonymous"), false},
    };
}

HttpResponse AuthService::issueSession(AuthUser user, std::optional<AuthSession> existing) {
    const qint64 t = now();
    AuthSession session;
    if (existing) {
        session = *existing;
        session.usedTokenHashes.append(session.refreshTokenHash);
    } else {
        session.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        session.userId = user.id;
        session.createdAt = t;
    }
    const QByteArray refreshToken = randomToken();
    session.refreshTokenHash = AuthStore::hashToken(refreshToken);
    session.refreshedAt = t;
    m_store.saveSession(session);

    const qint64 expiresAt = t + m_config.accessTokenLifetimeSeconds;
    QJsonObject claims{{QStringLiteral("aud"), QStringLiteral("authenticated")},
                       {QStringLiteral("exp"), expiresAt},
                       {QStringLiteral("iat"), t},
                       {QStringLiteral("iss"), QStringLiteral("voxlet-backend")},
                       {QStringLiteral("sub"), user.id},
                       {QStringLiteral("role"), QStringLiteral("authenticated")},
                       {QStringLiteral("aal"), QStringLiteral("aal1")},
                       {QStringLiteral("session_id"), session.id},
                       {QStringLiteral("is_anonymous"), false}};
    if (!user.email.isEmpty())
        claims.insert(QStringLiteral("email"), user.email);
    if (!user.phone.isEmpty())
        claims.insert(QStringLiteral("phone"), user.phone);
    const QByteArray accessToken = JsonWebToken::sign(claims, m_secret);
    return HttpResponse::json(
        200, QJsonObject{{QStringLiteral("access_token"), QString::fromLatin1(accessToken)},
                         {QStringLiteral("token_type"), QStringLiteral("bearer")},
                         {QStringLiteral("expires_in"), m_config.accessTokenLifetimeSeconds},
                         {QStringLiteral("expires_at"), expiresAt},
                         {QStringLiteral("refresh_token"), QString::fromLatin1(refreshToken)},
                         {QStringLiteral("user"), userJson(user)}});
}

HttpResponse AuthService::sendOtp(const HttpRequest& request) {
    if (auto refusal = checkApiKey(request))
        return *refusal;
    const std::optional<QJsonObject> body = jsonBody(request);
    if (!body)
        return badJson();
    const QJsonValue emailValue = body->value(QStringLiteral("email"));
    const QJsonValue phoneValue = body->value(QStringLiteral("phone"));
    const QString email = normalizedEmail(emailValue.toString());
    const QString phone = normalizedPhone(phoneValue.toString());
    if (email.isEmpty() == phone.isEmpty())
        return authError(400, QStringLiteral("validation_failed"),
                         QStringLiteral("Only an email address or phone number should be provided"));
    if (!email.isEmpty() && !validEmail(email))
        return authError(400, QStringLiteral("validation_failed"),
                         QStringLiteral("Unable to validate email address: invalid format"));
    if (!phone.isEmpty() && !validPhone(phone))
        return authError(400, QStringLiteral("validation_failed"),
                         QStringLiteral("Invalid phone number format (E.164 required)"));
    const QString channel = body->value(QStringLiteral("channel")).toString(QStringLiteral("sms"));
    if (!phone.isEmpty() && channel != QLatin1String("sms") && channel != QLatin1String("whatsapp"))
        return authError(400, QStringLiteral("validation_failed"),
                         QStringLiteral("Invalid channel, only 'sms' or 'whatsapp' are supported"));
    const bool createUser = body->value(QStringLiteral("create_user")).toBool(true);

    std::optional<AuthUser> user = email.isEmpty() ? m_store.userByPhone(phone) : m_store.userByEmail(email);
    if (!user) {
        if (!createUser)
            return authError(422, QStringLiteral("otp_disabled"),
                             QStringLiteral("Signups not allowed for otp"));
        user = m_store.createUser(email, phone, now());
        serverLog(QStringLiteral("Auth: created account %1 for %2").arg(user->id, describe(*user)));
    }
    const QString via = email.isEmpty() ? channel : QStringLiteral("email");
    serverLog(QStringLiteral("Auth: one-time code requested for %1 via %2").arg(describe(*user), via));
    m_codes.issue(contactKey(email, phone), now());
    QJsonObject answer;
    if (!phone.isEmpty())
        answer.insert(QStringLiteral("message_id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    return HttpResponse::json(200, answer);
}

HttpResponse AuthService::verify(const HttpRequest& request) {
    if (auto refusal = checkApiKey(request))
        return *refusal;
    const std::optional<QJsonObject> body = jsonBody(request);
    if (!body)
        return badJson();
    const QString type = body->value(QStringLiteral("type")).toString();
    const QString email = normalizedEmail(body->value(QStringLiteral("email")).toString());
    const QString phone = normalizedPhone(body->value(QStringLiteral("phone")).toString());
    const QString code = body->value(QStringLiteral("token")).toString().trimmed();
    static const QStringList emailTypes{QStringLiteral("email"), QStringLiteral("magiclink"),
                                        QStringLiteral("signup")};
    static const QStringList phoneTypes{QStringLiteral("sms"), QStringLiteral("phone_change")};
    if (!emailTypes.contains(type) && !phoneTypes.contains(type))
        return authError(400, QStringLiteral("validation_failed"),
                         QStringLiteral("Verify requires a verification type"));
    if (code.isEmpty())
        return authError(400, QStringLiteral("validation_failed"),
                         QStringLiteral("Verify requires either a token or a token hash"));
    const bool byEmail = emailTypes.contains(type);
    if (byEmail ? email.isEmpty() : phone.isEmpty())
        return authError(
            400, QStringLiteral("validation_failed"),
            byEmail ? QStringLiteral("Only an email address or phone number should be provided on verify")
                    : QStringLiteral("Verify requires a phone number for type sms"));
    const QString key = contactKey(byEmail ? email : QString(), byEmail ? QString() : phone);
    std::optional<AuthUser> user = byEmail ? m_store.userByEmail(email) : m_store.userByPhone(phone);
    if (!user || m_codes.verify(key, code, now()) != OneTimeCodes::Check::accepted) {
        serverLog(QStringLiteral("Auth: verification failed for %1 (wrong, used or expired code)").arg(key));
        return authError(403, QStringLiteral("otp_expired"),
                         QStringLiteral("Token has expired or is invalid"));
    }
    const qint64 t = now();
    if (byEmail && user->emailConfirmedAt == 0)
        user->emailConfirmedAt = t;
    if (!byEmail && user->phoneConfirmedAt == 0)
        user->phoneConfirmedAt = t;
    user->lastSignInAt = t;
    user->updatedAt = t;
    m_store.updateUser(*user);
    serverLog(QStringLiteral("Auth: signed in %1").arg(describe(*user)));
    return issueSession(*user, std::nullopt);
}

HttpResponse AuthService::user(const HttpRequest& request) {
    if (auto refusal = checkApiKey(request))
        return *refusal;
    Identity identity;
    if (auto refusal = authorize(request, &identity))
        return *refusal;
    return HttpResponse::json(200, userJson(identity.user));
}

HttpResponse AuthService::token(const HttpRequest& request) {
    if (auto refusal = checkApiKey(request))
        return *refusal;
    const QString grant = request.query.queryItemValue(QStringLiteral("grant_type"));
    if (grant != QLatin1String("refresh_token"))
        return authError(400, QStringLiteral("unsupported_grant_type"),
                         QStringLiteral("unsupported_grant_type"));
    const std::optional<QJsonObject> body = jsonBody(request);
    if (!body)
        return badJson();
    const QByteArray refreshToken = body->value(QStringLiteral("refresh_token")).toString().toUtf8();
    if (refreshToken.isEmpty())
        return tokenError(400, QStringLiteral("refresh_token_not_found"),
                          QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    const auto found = m_store.sessionByRefreshHash(AuthStore::hashToken(refreshToken));
    if (!found) {
        serverLog(QStringLiteral("Auth: refresh refused: unknown refresh token"));
        return tokenError(400, QStringLiteral("refresh_token_not_found"),
                          QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    }
    const auto& [session, current] = *found;
    if (!current) {
        // A rotated token presented again means it leaked or a client is confused: end the session.
        serverLog(
            QStringLiteral("Auth: refresh token reused for session %1, session revoked").arg(session.id));
        m_store.removeSession(session.id);
        return tokenError(400, QStringLiteral("refresh_token_already_used"),
                          QStringLiteral("Invalid Refresh Token: Already Used"));
    }
    if (now() - session.refreshedAt > m_config.refreshTokenLifetimeSeconds) {
        serverLog(QStringLiteral("Auth: refresh refused: session %1 expired").arg(session.id));
        m_store.removeSession(session.id);
        return tokenError(400, QStringLiteral("session_expired"),
                          QStringLiteral("Invalid Refresh Token: Session Expired"));
    }
    const std::optional<AuthUser> user = m_store.userById(session.userId);
    if (!user) {
        m_store.removeSession(session.id);
        return tokenError(400, QStringLiteral("user_not_found"),
                          QStringLiteral("Invalid Refresh Token: User Not Found"));
    }
    serverLog(QStringLiteral("Auth: session %1 of %2 refreshed").arg(session.id, describe(*user)));
    return issueSession(*user, session);
}

HttpResponse AuthService::logout(const HttpRequest& request) {
    if (auto refusal = checkApiKey(request))
        return *refusal;
    Identity identity;
    if (auto refusal = authorize(request, &identity))
        return *refusal;
    const QString scope = request.query.queryItemValue(QStringLiteral("scope"));
    if (scope == QLatin1String("local")) {
        m_store.removeSession(identity.sessionId);
    } else if (scope == QLatin1String("others")) {
        const std::optional<AuthSession> keep = m_store.session(identity.sessionId);
        m_store.removeSessionsOfUser(identity.user.id);
        if (keep)
            m_store.saveSession(*keep);
    } else if (scope.isEmpty() || scope == QLatin1String("global")) {
        m_store.removeSessionsOfUser(identity.user.id);
    } else {
        return authError(400, QStringLiteral("validation_failed"),
                         QStringLiteral("Unsupported logout scope"));
    }
    serverLog(QStringLiteral("Auth: signed out %1 (scope %2)")
                  .arg(describe(identity.user), scope.isEmpty() ? QStringLiteral("global") : scope));
    return HttpResponse::empty(204);
}
