#include "account/SupabaseAuthClient.h"

#include "account/AccessTokenClaims.h"
#include "backend/AppConfiguration.h"
#include "dictation/AppLog.h"
#include "platform/Scheduler.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <qcoronetworkreply.h>
#include <qcorosignal.h>

#include <algorithm>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int requestTimeoutMs = 30000;
constexpr qint64 retryAfterFailureSeconds = 30;
// Renewals in a row are spaced at least this far apart, whatever lifetime the tokens have.
constexpr qint64 minimumRenewalSpacingSeconds = 10;

struct LaterDeleter {
    void operator()(QObject* object) const {
        if (object)
            object->deleteLater();
    }
};

AuthError clientClosed() {
    return AuthError{u"The sign-in client was closed before the service answered."_s, 0, false};
}

AuthError notSignedIn() {
    return AuthError{u"Not signed in."_s, 0, false};
}

// The service puts its explanation in one of these members, depending on the endpoint and version.
QString serviceMessage(const QByteArray& body) {
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    for (const char* member : {"msg", "error_description", "message"}) {
        const QJsonValue value = json.value(QLatin1String(member));
        if (value.isString() && !value.toString().trimmed().isEmpty())
            return value.toString();
    }
    return {};
}

bool isTransientStatus(int status) {
    return status == 408 || status == 429 || status >= 500;
}

} // namespace

SupabaseAuthClient::SupabaseAuthClient(QUrl url, QString key, KeychainAuthStorage sessionStorage,
                                       Scheduler& clock, QNetworkAccessManager& networkAccess,
                                       QObject* parent)
    : QObject(parent)
    , projectURL(std::move(url))
    , apiKey(std::move(key))
    , storage(std::move(sessionStorage))
    , scheduler(clock)
    , network(networkAccess) {
    loadStoredSession();
    publish(AuthChangeEvent::initialSession, current);
    scheduleAutoRefresh();
}

SupabaseAuthClient::~SupabaseAuthClient() = default;

std::optional<AuthError> SupabaseAuthClient::loadStoredSession() {
    auto stored = storage.retrieve(sessionStorageKey);
    if (const auto* error = std::get_if<KeychainError>(&stored)) {
        // Locked or unreachable keyring: the session may well be there; never treat it as gone.
        storedSessionPending = true;
        appLog(u"SupabaseAuth: Could not read the stored session: "_s + error->localizedDescription());
        return AuthError{error->localizedDescription(), 0, false};
    }
    storedSessionPending = false;
    const auto& bytes = std::get<std::optional<QByteArray>>(stored);
    if (!bytes)
        return std::nullopt;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    auto session = document.isObject() ? AuthSession::fromJson(document.object(), scheduler.currentDateTime())
                                       : std::nullopt;
    if (!session) {
        appLog(u"SupabaseAuth: The stored session is unreadable and was ignored"_s);
        return std::nullopt;
    }
    current = std::move(session);
    return std::nullopt;
}

QCoro::Task<AuthResult<QJsonObject>> SupabaseAuthClient::send(QByteArray method, QString endpoint,
                                                              QUrlQuery query,
                                                              std::optional<QJsonObject> body,
                                                              QString bearer) {
    QUrl url = AppConfiguration::appendingPathComponent(projectURL, u"auth/v1/"_s + endpoint);
    if (!query.isEmpty())
        url.setQuery(query);
    QNetworkRequest request(url);
    request.setRawHeader("apikey", apiKey.toUtf8());
    request.setRawHeader("Authorization", "Bearer " + (bearer.isEmpty() ? apiKey : bearer).toUtf8());
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(requestTimeoutMs);
    QByteArray payload;
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json"_ba);
        payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
    }

    QPointer<SupabaseAuthClient> self(this);
    std::unique_ptr<QNetworkReply, LaterDeleter> reply(network.sendCustomRequest(request, method, payload));
    co_await qCoro(reply.get()).waitForFinished();
    if (!self)
        co_return clientClosed();

    const QString what = QString::fromLatin1(method) + QLatin1Char(' ') + endpoint;
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;
    const QByteArray answer = reply->readAll();
    if (status == 0) {
        const AuthError error{u"Could not reach the sign-in service: "_s + reply->errorString(), 0, true};
        appLog(u"SupabaseAuth: %1 failed: %2"_s.arg(what, error.localizedDescription));
        co_return error;
    }
    if (status < 200 || status > 299) {
        QString message = serviceMessage(answer);
        if (message.isEmpty())
            message = u"The sign-in service answered with HTTP status %1."_s.arg(status);
        appLog(u"SupabaseAuth: %1 failed with HTTP status %2: %3"_s.arg(what).arg(status).arg(message));
        co_return AuthError{message, status, isTransientStatus(status)};
    }
    co_return QJsonDocument::fromJson(answer).object();
}

AuthResult<AuthSession> SupabaseAuthClient::sessionFrom(const QJsonObject& json) const {
    auto session = AuthSession::fromJson(json, scheduler.currentDateTime());
    if (!session) {
        appLog(u"SupabaseAuth: The sign-in service sent no usable session"_s);
        return AuthError{u"The sign-in service sent an incomplete session."_s, 0, false};
    }
    return *session;
}

QCoro::Task<AuthStatus> SupabaseAuthClient::signInWithEmailOTP(QString email, bool createUser) {
    QJsonObject body;
    body.insert(u"email"_s, email);
    body.insert(u"create_user"_s, createUser);
    const auto result = co_await send("POST"_ba, u"otp"_s, QUrlQuery(), body, QString());
    if (!result)
        co_return result.error();
    co_return AuthDone{};
}

QCoro::Task<AuthStatus> SupabaseAuthClient::signInWithPhoneOTP(QString phone, AuthOTPDeliveryChannel channel,
                                                               bool createUser) {
    QJsonObject body;
    body.insert(u"phone"_s, phone);
    body.insert(u"channel"_s, AuthOTPDeliveryChannels::rawValue(channel));
    body.insert(u"create_user"_s, createUser);
    const auto result = co_await send("POST"_ba, u"otp"_s, QUrlQuery(), body, QString());
    if (!result)
        co_return result.error();
    co_return AuthDone{};
}

QCoro::Task<AuthResult<AuthSession>> SupabaseAuthClient::verifyEmailOTP(QString email, QString token,
                                                                        QString type) {
    QJsonObject body;
    body.insert(u"email"_s, email);
    body.insert(u"token"_s, token);
    body.insert(u"type"_s, type);
    co_return co_await verify(body);
}

QCoro::Task<AuthResult<AuthSession>> SupabaseAuthClient::verifyPhoneOTP(QString phone, QString token,
                                                                        QString type) {
    QJsonObject body;
    body.insert(u"phone"_s, phone);
    body.insert(u"token"_s, token);
    body.insert(u"type"_s, type);
    co_return co_await verify(body);
}

QCoro::Task<AuthResult<AuthSession>> SupabaseAuthClient::verify(QJsonObject body) {
    QPointer<SupabaseAuthClient> self(this);
    const auto answer = co_await send("POST"_ba, u"verify"_s, QUrlQuery(), body, QString());
    if (!self)
        co_return clientClosed();
    if (!answer)
        co_return answer.error();
    auto session = sessionFrom(answer.value());
    if (session)
        adopt(session.value(), AuthChangeEvent::signedIn);
    co_return session;
}

QCoro::Task<AuthResult<AuthSession>> SupabaseAuthClient::setSession(QString accessToken,
                                                                    QString refreshToken) {
    if (accessToken.isEmpty())
        co_return AuthError{u"No access token was given."_s, 0, false};
    QPointer<SupabaseAuthClient> self(this);
    const auto answer = co_await send("GET"_ba, u"user"_s, QUrlQuery(), std::nullopt, accessToken);
    if (!self)
        co_return clientClosed();
    if (!answer)
        co_return answer.error();
    const auto user = AuthUser::fromJson(answer.value());
    if (!user) {
        appLog(u"SupabaseAuth: The sign-in service sent no usable user for the token"_s);
        co_return AuthError{u"The sign-in service sent an incomplete user."_s, 0, false};
    }

    AuthSession session;
    session.accessToken = accessToken;
    session.refreshToken = refreshToken;
    session.user = *user;
    session.expiresAt = AccessTokenClaims::expiry(accessToken);
    if (session.expiresAt)
        session.expiresIn =
            std::max<qint64>(0, *session.expiresAt - scheduler.currentDateTime().toSecsSinceEpoch());
    adopt(session, AuthChangeEvent::signedIn);
    co_return session;
}

QCoro::Task<AuthResult<AuthSession>> SupabaseAuthClient::session() {
    if (!current && storedSessionPending) {
        if (auto error = loadStoredSession())
            co_return *error;
        if (current) {
            // The keyring was locked at start-up and is open now: the user is signed in after all.
            publish(AuthChangeEvent::signedIn, current);
            scheduleAutoRefresh();
        }
    }
    if (!current)
        co_return notSignedIn();
    if (!current->isExpired(scheduler.currentDateTime(), expiryMarginSeconds)) {
        // GCC 12 moves from the operand of co_return even when it names a member: copy first.
        AuthSession copy = *current;
        co_return copy;
    }
    co_return co_await refreshSession();
}

QCoro::Task<AuthResult<AuthSession>> SupabaseAuthClient::refreshSession() {
    QPointer<SupabaseAuthClient> self(this);
    if (refreshing) {
        // A refresh token may be spent once: wait for the renewal under way rather than race it.
        co_await qCoro(this, &SupabaseAuthClient::refreshFinished);
        if (!self || !lastRefresh)
            co_return clientClosed();
        AuthResult<AuthSession> shared = *lastRefresh;
        co_return shared;
    }
    refreshing = true;
    auto result = co_await performRefresh();
    if (!self)
        co_return result;
    refreshing = false;
    lastRefresh = result;
    Q_EMIT refreshFinished();
    co_return result;
}

QCoro::Task<AuthResult<AuthSession>> SupabaseAuthClient::performRefresh() {
    if (!current && storedSessionPending) {
        if (auto error = loadStoredSession())
            co_return *error;
    }
    if (!current)
        co_return notSignedIn();
    const QString refreshToken = current->refreshToken;
    if (refreshToken.isEmpty())
        co_return AuthError{u"This session has no refresh token and cannot be renewed."_s, 0, false};

    QPointer<SupabaseAuthClient> self(this);
    QUrlQuery query;
    query.addQueryItem(u"grant_type"_s, u"refresh_token"_s);
    QJsonObject body;
    body.insert(u"refresh_token"_s, refreshToken);
    const auto answer = co_await send("POST"_ba, u"token"_s, query, body, QString());
    if (!self)
        co_return clientClosed();
    if (!answer)
        co_return answer.error();
    auto session = sessionFrom(answer.value());
    if (!session)
        co_return session;
    if (!current || current->refreshToken != refreshToken) {
        // Signed out or signed in anew while the request was out: that session wins.
        co_return AuthError{u"The session changed while it was being renewed."_s, 0, false};
    }
    adopt(session.value(), AuthChangeEvent::tokenRefreshed);
    co_return session;
}

QCoro::Task<AuthStatus> SupabaseAuthClient::signOut() {
    QPointer<SupabaseAuthClient> self(this);
    if (current) {
        QUrlQuery query;
        query.addQueryItem(u"scope"_s, u"global"_s);
        const auto answer = co_await send("POST"_ba, u"logout"_s, query, std::nullopt, current->accessToken);
        if (!self)
            co_return clientClosed();
        // 401, 403 and 404 say the session is already over on the service; forget it here too.
        const int status = answer ? 0 : answer.error().httpStatus;
        if (!answer && status != 401 && status != 403 && status != 404)
            co_return answer.error();
    }
    if (auto error = storage.remove(sessionStorageKey)) {
        appLog(u"SupabaseAuth: Could not remove the stored session: "_s + error->localizedDescription());
        co_return AuthError{error->localizedDescription(), 0, false};
    }
    current.reset();
    storedSessionPending = false;
    ++refreshGeneration;
    publish(AuthChangeEvent::signedOut, std::nullopt);
    co_return AuthDone{};
}

void SupabaseAuthClient::adopt(const AuthSession& session, AuthChangeEvent event) {
    current = session;
    storedSessionPending = false;
    persist(session);
    publish(event, session);
    scheduleAutoRefresh(event == AuthChangeEvent::tokenRefreshed
                            ? std::optional<qint64>(minimumRenewalSpacingSeconds)
                            : std::nullopt);
}

void SupabaseAuthClient::persist(const AuthSession& session) {
    // The session stays usable for this run either way; only the next start would miss it.
    if (auto error = storage.store(sessionStorageKey, session.toStoredBytes()))
        appLog(u"SupabaseAuth: Could not keep the session in the keyring: "_s +
               error->localizedDescription());
}

void SupabaseAuthClient::publish(AuthChangeEvent event, std::optional<AuthSession> session) {
    undelivered.push_back(AuthStateChange{event, std::move(session)});
    if (deliveryQueued)
        return;
    deliveryQueued = true;
    QMetaObject::invokeMethod(this, &SupabaseAuthClient::deliver, Qt::QueuedConnection);
}

void SupabaseAuthClient::deliver() {
    deliveryQueued = false;
    QPointer<SupabaseAuthClient> self(this);
    while (self && !undelivered.empty()) {
        const AuthStateChange change = undelivered.front();
        undelivered.pop_front();
        Q_EMIT authStateChanged(change);
    }
}

void SupabaseAuthClient::scheduleAutoRefresh(std::optional<qint64> minimumDelaySeconds) {
    const quint64 generation = ++refreshGeneration;
    if (!current || current->refreshToken.isEmpty())
        return;
    qint64 delayMs = 0;
    if (current->expiresAt) {
        const qint64 dueMs = (*current->expiresAt - autoRefreshMarginSeconds) * 1000;
        delayMs = std::max<qint64>(0, dueMs - scheduler.currentDateTime().toMSecsSinceEpoch());
    }
    if (minimumDelaySeconds)
        delayMs = std::max(delayMs, *minimumDelaySeconds * 1000);
    scheduler.schedule(std::chrono::milliseconds(delayMs), this, [this, generation] {
        if (generation == refreshGeneration)
            autoRefresh(generation);
    });
}

QCoro::Task<> SupabaseAuthClient::autoRefresh(quint64 generation) {
    QPointer<SupabaseAuthClient> self(this);
    const auto result = co_await refreshSession();
    if (!self || result)
        co_return;
    appLog(u"SupabaseAuth: Automatic session renewal failed: "_s + result.error().localizedDescription);
    // A rejected refresh token stays rejected; only an unreachable or struggling service is retried.
    if (generation == refreshGeneration && result.error().transient)
        scheduleAutoRefresh(retryAfterFailureSeconds);
}
