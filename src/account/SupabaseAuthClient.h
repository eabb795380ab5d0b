#pragma once

#include "account/AuthChangeEvent.h"
#include "account/AuthError.h"
#include "account/AuthLoginMethod.h"
#include "account/AuthSession.h"
#include "account/KeychainAuthStorage.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QUrlQuery>

#include <qcorotask.h>

#include <deque>
#include <optional>

class QNetworkAccessManager;
class Scheduler;

// A client of the Supabase Auth (GoTrue) REST API under <project URL>/auth/v1: one-time codes by
// e-mail and phone, their verification, sessions from an access token, renewal and sign-out. The
// current session is kept as JSON in the keyring storage and renewed by itself before it expires.
//
// Session changes come out of authStateChanged in the order they happened, always from the event
// loop (never inside the call that caused them); the first is the initial session, with the stored
// session if there is one.
class SupabaseAuthClient : public QObject {
    Q_OBJECT

public:
    // The keyring item (account) that holds the session.
    static inline const QString sessionStorageKey = QStringLiteral("supabase.session");
    // Automatic renewal starts this long before the access token expires.
    static constexpr qint64 autoRefreshMarginSeconds = 90;
    // A session is handed out as current until this close to its expiry, then renewed first.
    static constexpr qint64 expiryMarginSeconds = 10;

    SupabaseAuthClient(QUrl projectURL, QString apiKey, KeychainAuthStorage storage, Scheduler& scheduler,
                       QNetworkAccessManager& network, QObject* parent = nullptr);
    ~SupabaseAuthClient() override;

    // Asks the service to send a code; `createUser` signs up an unknown contact.
    QCoro::Task<AuthStatus> signInWithEmailOTP(QString email, bool createUser = true);
    QCoro::Task<AuthStatus> signInWithPhoneOTP(QString phone, AuthOTPDeliveryChannel channel,
                                               bool createUser = true);
    // `type` is the service's verification type: "email" for e-mail codes, "sms" for phone codes
    // whichever channel carried them.
    QCoro::Task<AuthResult<AuthSession>> verifyEmailOTP(QString email, QString token,
                                                        QString type = QStringLiteral("email"));
    QCoro::Task<AuthResult<AuthSession>> verifyPhoneOTP(QString phone, QString token,
                                                        QString type = QStringLiteral("sms"));
    // Installs a session for an access token the service issued elsewhere; the user comes from the
    // service. An empty refresh token gives a session that cannot be renewed.
    QCoro::Task<AuthResult<AuthSession>> setSession(QString accessToken, QString refreshToken);
    // The current session, renewed first when it has expired.
    QCoro::Task<AuthResult<AuthSession>> session();
    // A new access token from the session's refresh token. Concurrent calls share one request.
    QCoro::Task<AuthResult<AuthSession>> refreshSession();
    // Ends the session on the service (every device of the user) and forgets it here.
    QCoro::Task<AuthStatus> signOut();

    // The session in memory, without renewal or keyring access.
    const std::optional<AuthSession>& currentSession() const { return current; }

Q_SIGNALS:
    void authStateChanged(const AuthStateChange& change);
    // Internal: a shared renewal finished.
    void refreshFinished();

private:
    struct Answer;

    QCoro::Task<AuthResult<QJsonObject>> send(QByteArray method, QString endpoint, QUrlQuery query,
                                              std::optional<QJsonObject> body, QString bearer);
    QCoro::Task<AuthResult<AuthSession>> verify(QJsonObject body);
    QCoro::Task<AuthResult<AuthSession>> performRefresh();
    QCoro::Task<> autoRefresh(quint64 generation);
    std::optional<AuthError> loadStoredSession();
    void adopt(const AuthSession& session, AuthChangeEvent event);
    void persist(const AuthSession& session);
    void publish(AuthChangeEvent event, std::optional<AuthSession> session);
    void deliver();
    void scheduleAutoRefresh(std::optional<qint64> minimumDelaySeconds = std::nullopt);
    AuthResult<AuthSession> sessionFrom(const QJsonObject& json) const;

    QUrl projectURL;
    QString apiKey;
    KeychainAuthStorage storage;
    Scheduler& scheduler;
    QNetworkAccessManager& network;

    std::optional<AuthSession> current;
    // The keyring could not be read at start-up: try again when the session is asked for.
    bool storedSessionPending = false;
    std::deque<AuthStateChange> undelivered;
    bool deliveryQueued = false;
    quint64 refreshGeneration = 0;
    bool refreshing = false;
    std::optional<AuthResult<AuthSession>> lastRefresh;
};
