#include "account/AuthManager.h"

#include "account/AccessTokenClaims.h"
#include "account/KeychainAuthStorage.h"
#include "account/SupabaseAuthClient.h"
#include "backend/NetworkSession.h"
#include "dictation/AppLog.h"
#include "platform/Scheduler.h"
#include "platform/SecretStore.h"

#include <QJsonValue>
#include <QPointer>
#include <QSettings>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr double expiryMarginSeconds = 60.0;

// Stands in when the program was given no keyring: every operation says the service is missing.
class MissingSecretStore final : public SecretStore {
public:
    ReadResult read(const QString&, const QString&) override { return {statusNotAvailable, std::nullopt}; }
    Status add(const QString&, const QString&, const QByteArray&) override { return statusNotAvailable; }
    Status remove(const QString&, const QString&) override { return statusNotAvailable; }
};

QString emptyContactMessage(AuthLoginMethod method) {
    return method == AuthLoginMethod::email ? u"Enter your email first."_s
                                            : u"Enter your phone number first."_s;
}

} // namespace

AuthManager::AuthManager(Environment environment, QObject* parent)
    : AuthManager(AppConfiguration::load(), std::move(environment), parent) {}

AuthManager::AuthManager(std::optional<AppConfiguration> loadedConfiguration, Environment environment,
                         QObject* parent)
    : QObject(parent)
    , configuration(std::move(loadedConfiguration))
    , scheduler(environment.scheduler ? *environment.scheduler : Scheduler::shared())
    , secretStore(environment.secretStore ? std::move(environment.secretStore)
                                          : std::make_shared<MissingSecretStore>())
    , userDefaults(environment.userDefaults ? std::move(environment.userDefaults)
                                            : std::make_shared<QSettings>(u"Voxlet"_s, u"Voxlet"_s)) {
    if (!configuration) {
        error = u"Supabase is not configured in Info.plist yet."_s;
        loading = false;
        return;
    }
    QNetworkAccessManager& network =
        environment.network ? *environment.network : sharedNetworkAccessManager();
    client = std::make_unique<SupabaseAuthClient>(
        configuration->supabaseURL, configuration->supabaseAnonKey,
        KeychainAuthStorage(keychainService, *userDefaults, *secretStore), scheduler, network);
    // The client reports from the event loop, in order, beginning with the stored session.
    connect(client.get(), &SupabaseAuthClient::authStateChanged, this, &AuthManager::handleAuthStateChange);
}

AuthManager::~AuthManager() = default;

void AuthManager::setAuthMessage(std::optional<QString> text) {
    if (message == text)
        return;
    message = std::move(text);
    Q_EMIT authMessageChanged();
}

void AuthManager::setAuthError(std::optional<QString> text) {
    if (error == text)
        return;
    error = std::move(text);
    Q_EMIT authErrorChanged();
}

void AuthManager::setCurrentUser(std::optional<AuthUser> value) {
    if (user == value)
        return;
    user = std::move(value);
    Q_EMIT currentUserChanged();
}

void AuthManager::setIsLoading(bool value) {
    if (loading == value)
        return;
    loading = value;
    Q_EMIT isLoadingChanged();
}

QVariant AuthManager::currentUserValue() const {
    return user ? QVariant::fromValue(*user) : QVariant();
}

QString AuthManager::normalizedContact(const QString& contact, AuthLoginMethod method) {
    const QString trimmed = contact.trimmed();
    if (method == AuthLoginMethod::email)
        return trimmed.toLower();
    QString phone = trimmed;
    phone.remove(QLatin1Char(' '));
    return phone;
}

void AuthManager::handleAuthStateChange(const AuthStateChange& change) {
    switch (change.event) {
    case AuthChangeEvent::initialSession:
    case AuthChangeEvent::signedIn:
    case AuthChangeEvent::signedOut:
    case AuthChangeEvent::tokenRefreshed:
        break;
    default:
        return;
    }
    setCurrentUser(change.session ? std::optional<AuthUser>(change.session->user) : std::nullopt);
    if (change.session)
        setAuthError(std::nullopt);
    setIsLoading(false);
}

QCoro::Task<bool> AuthManager::sendOTP(QString contact, AuthLoginMethod method,
                                       AuthOTPDeliveryChannel channel) {
    if (!client)
        co_return false;
    const QString normalized = normalizedContact(contact, method);
    if (normalized.isEmpty()) {
        setAuthError(emptyContactMessage(method));
        co_return false;
    }
    setAuthError(std::nullopt);
    setAuthMessage(std::nullopt);

    QPointer<AuthManager> self(this);
    QCoro::Task<AuthStatus> request = method == AuthLoginMethod::email
                                          ? client->signInWithEmailOTP(normalized, true)
                                          : client->signInWithPhoneOTP(normalized, channel, true);
    const AuthStatus result = co_await std::move(request);
    if (!self)
        co_return false;
    if (!result) {
        setAuthError(result.error().localizedDescription);
        co_return false;
    }
    if (method == AuthLoginMethod::email)
        setAuthMessage(u"OTP sent. Check your email."_s);
    else if (channel == AuthOTPDeliveryChannel::sms)
        setAuthMessage(u"OTP sent by SMS."_s);
    else
        setAuthMessage(u"OTP sent by WhatsApp."_s);
    co_return true;
}

QCoro::Task<> AuthManager::verifyOTP(QString contact, QString code, AuthLoginMethod method) {
    if (!client)
        co_return;
    const QString normalized = normalizedContact(contact, method);
    const QString trimmedCode = code.trimmed();
    if (normalized.isEmpty()) {
        setAuthError(emptyContactMessage(method));
        co_return;
    }
    if (trimmedCode.isEmpty()) {
        setAuthError(u"Enter the verification code."_s);
        co_return;
    }
    setAuthError(std::nullopt);
    setAuthMessage(std::nullopt);

    QPointer<AuthManager> self(this);
    // Phone codes are verified as "sms" whichever channel delivered them.
    QCoro::Task<AuthResult<AuthSession>> request =
        method == AuthLoginMethod::email ? client->verifyEmailOTP(normalized, trimmedCode, u"email"_s)
                                         : client->verifyPhoneOTP(normalized, trimmedCode, u"sms"_s);
    const AuthResult<AuthSession> result = co_await std::move(request);
    if (!self)
        co_return;
    if (!result) {
        setAuthError(result.error().localizedDescription);
        co_return;
    }
    setAuthMessage(u"Login confirmed."_s);
}

QCoro::Task<> AuthManager::signInWithToken(QString token) {
    if (!client)
        co_return;
    setAuthError(std::nullopt);
    setAuthMessage(u"Authenticating with token..."_s);
    setIsLoading(true);

    QPointer<AuthManager> self(this);
    const auto result = co_await client->setSession(token, QString());
    if (!self)
        co_return;
    if (!result) {
        setAuthError(result.error().localizedDescription);
        setIsLoading(false);
        co_return;
    }
    setIsLoading(false);
    setAuthMessage(u"Authenticated successfully!"_s);
}

QCoro::Task<> AuthManager::signOut() {
    if (!client)
        co_return;
    QPointer<AuthManager> self(this);
    const AuthStatus result = co_await client->signOut();
    if (!self)
        co_return;
    if (!result) {
        setAuthError(result.error().localizedDescription);
        co_return;
    }
    setCurrentUser(std::nullopt);
    setAuthMessage(u"Signed out."_s);
    setAuthError(std::nullopt);
}

QCoro::Task<std::optional<QString>> AuthManager::validAccessToken() {
    if (!client)
        co_return std::nullopt;
    QPointer<AuthManager> self(this);
    const auto session = co_await client->session();
    if (!self)
        co_return std::nullopt;
    if (!session) {
        appLog(u"AuthManager: Could not load/refresh access token: "_s +
               session.error().localizedDescription);
        co_return std::nullopt;
    }
    if (!isTokenExpiringSoon(session.value().accessToken))
        co_return session.value().accessToken;

    appLog(u"AuthManager: Access token expired or near expiration, refreshing before request"_s);
    const auto refreshed = co_await client->refreshSession();
    if (!self)
        co_return std::nullopt;
    if (!refreshed) {
        appLog(u"AuthManager: Could not load/refresh access token: "_s +
               refreshed.error().localizedDescription);
        co_return std::nullopt;
    }
    co_return refreshed.value().accessToken;
}

QCoro::Task<bool> AuthManager::ensureValidSession() {
    if (!client)
        co_return false;
    QPointer<AuthManager> self(this);
    const auto session = co_await client->session();
    if (!self)
        co_return false;
    if (!session) {
        appLog(u"AuthManager: Session refresh failed: "_s + session.error().localizedDescription);
        co_return false;
    }
    if (!isTokenExpiringSoon(session.value().accessToken))
        co_return true;

    appLog(u"AuthManager: Token near expiration, forcing refresh"_s);
    const auto refreshed = co_await client->refreshSession();
    if (!self)
        co_return false;
    if (!refreshed) {
        appLog(u"AuthManager: Session refresh failed: "_s + refreshed.error().localizedDescription);
        co_return false;
    }
    appLog(u"AuthManager: Token refreshed successfully"_s);
    co_return true;
}

bool AuthManager::isTokenExpiringSoon(const QString& accessToken) const {
    const auto claims = AccessTokenClaims::payload(accessToken);
    if (!claims)
        return true;
    const QJsonValue exp = claims->value(u"exp"_s);
    if (!exp.isDouble())
        return true;
    const double now = double(scheduler.currentDateTime().toMSecsSinceEpoch()) / 1000.0;
    return exp.toDouble() - now < expiryMarginSeconds;
}
