#pragma once

#include "account/AuthChangeEvent.h"
#include "account/AuthLoginMethod.h"
#include "account/AuthUser.h"
#include "backend/AppConfiguration.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <qcorotask.h>

#include <memory>
#include <optional>

class KeychainAuthStorage;
class QNetworkAccessManager;
class QSettings;
class Scheduler;
class SecretStore;
class SupabaseAuthClient;

// The user's account session: sign-in by one-time code or by a token from the web sign-in page,
// the stored session at start-up, sign-out, and a fresh access token for every backend call.
// Lives on the GUI thread.
class AuthManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariant currentUser READ currentUserValue NOTIFY currentUserChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString authMessage READ authMessageText NOTIFY authMessageChanged)
    Q_PROPERTY(QString authError READ authErrorText NOTIFY authErrorChanged)
    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY currentUserChanged)

public:
    // What the manager stands on. Empty members take the program's own: the standard user defaults,
    // the event-loop scheduler and the shared HTTP client. The keyring has no default: without one
    // the manager behaves as if the keyring service were missing.
    struct Environment {
        std::shared_ptr<SecretStore> secretStore;
        std::shared_ptr<QSettings> userDefaults;
        Scheduler* scheduler = nullptr;
        QNetworkAccessManager* network = nullptr;
    };

    static inline const QString keychainService = QStringLiteral("com.voxlet.auth");

    // Loads the program's configuration.
    explicit AuthManager(Environment environment, QObject* parent = nullptr);
    AuthManager(std::optional<AppConfiguration> configuration, Environment environment,
                QObject* parent = nullptr);
    ~AuthManager() override;

    const std::optional<AuthUser>& currentUser() const { return user; }
    bool isLoading() const { return loading; }
    const std::optional<QString>& authMessage() const { return message; }
    const std::optional<QString>& authError() const { return error; }
    bool isAuthenticated() const { return user.has_value(); }
    void setAuthMessage(std::optional<QString> text);
    void setAuthError(std::optional<QString> text);

    // Present when the program's configuration is complete.
    const std::optional<AppConfiguration> configuration;
    // Absent exactly when `configuration` is.
    SupabaseAuthClient* supabase() const { return client.get(); }

    // True when the service accepted the request for a code.
    QCoro::Task<bool> sendOTP(QString contact, AuthLoginMethod method, AuthOTPDeliveryChannel channel);
    QCoro::Task<> verifyOTP(QString contact, QString code, AuthLoginMethod method);
    QCoro::Task<> signInWithToken(QString token);
    QCoro::Task<> signOut();
    // An access token that does not expire within the next 60 seconds, or nothing. Never fails and
    // never touches the observable fields.
    QCoro::Task<std::optional<QString>> validAccessToken();
    // Whether a session exists whose access token lasts at least 60 more seconds, renewing it if needed.
    QCoro::Task<bool> ensureValidSession();
    // Whether the token expires within 60 seconds; a token that cannot be read counts as expiring.
    bool isTokenExpiringSoon(const QString& accessToken) const;

    // Trimmed; e-mail addresses lower-cased, phone numbers without spaces.
    static QString normalizedContact(const QString& contact, AuthLoginMethod method);

Q_SIGNALS:
    void currentUserChanged();
    void isLoadingChanged();
    void authMessageChanged();
    void authErrorChanged();

private:
    void handleAuthStateChange(const AuthStateChange& change);
    void setCurrentUser(std::optional<AuthUser> value);
    void setIsLoading(bool value);
    QVariant currentUserValue() const;
    QString authMessageText() const { return message.value_or(QString()); }
    QString authErrorText() const { return error.value_or(QString()); }

    Scheduler& scheduler;
    std::shared_ptr<SecretStore> secretStore;
    std::shared_ptr<QSettings> userDefaults;
    std::unique_ptr<SupabaseAuthClient> client;

    std::optional<AuthUser> user;
    bool loading = true;
    std::optional<QString> message;
    std::optional<QString> error;
};
