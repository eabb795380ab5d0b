// The sign-in client and AuthManager against a scripted sign-in service on 127.0.0.1, with an
// in-memory keyring and a manual clock.

#include "support/TestTokens.h"
#include "support/HttpFixture.h"

#include "account/AuthManager.h"
#include "account/KeychainAuthStorage.h"
#include "account/SupabaseAuthClient.h"
#include "backend/NetworkSession.h"
#include "dictation/AppLog.h"
#include "platform/fake/InMemorySecretStore.h"
#include "platform/fake/ManualScheduler.h"
#include "platform/fake/RecordingSystemLog.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <qcorotask.h>

Q_DECLARE_METATYPE(HttpFixtureReply)
Q_DECLARE_METATYPE(AuthLoginMethod)
Q_DECLARE_METATYPE(AuthOTPDeliveryChannel)

using namespace std::chrono_literals;

namespace {

const QString anonKey = QStringLiteral("anon-key");
const QString service = QStringLiteral("com.voxlet.auth");
const QString code = QStringLiteral("123456");

QString text(const std::optional<QString>& value) {
    return value.value_or(QStringLiteral("<none>"));
}

} // namespace

class AuthTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir folder;
    std::shared_ptr<RecordingSystemLog> log = std::make_shared<RecordingSystemLog>();
    std::unique_ptr<HttpFixture> server;
    std::unique_ptr<ManualScheduler> scheduler;
    std::shared_ptr<InMemorySecretStore> secrets;
    std::shared_ptr<QSettings> defaults;
    std::unique_ptr<AuthManager> manager;
    qint64 now = 0;

    AppConfiguration configuration() const {
        AppConfiguration result;
        result.supabaseURL = server->url(QStringLiteral("/"));
        result.supabaseAnonKey = anonKey;
        return result;
    }

    AuthManager::Environment environment() { return {secrets, defaults, scheduler.get(), nullptr}; }

    // A manager on the current keyring, once its initial session has been applied.
    bool startManager() {
        manager = std::make_unique<AuthManager>(configuration(), environment());
        return QTest::qWaitFor([&] { return !manager->isLoading(); }, 5000);
    }

    void storeSession(const QString& accessToken, const QString& refreshToken, qint64 expiresAt) {
        const auto session = AuthSession::fromJson(TestTokens::session(accessToken, refreshToken, expiresAt),
                                                   scheduler->currentDateTime());
        secrets->add(service, SupabaseAuthClient::sessionStorageKey, session->toStoredBytes());
    }

    std::optional<QJsonObject> storedSession() const {
        const auto bytes = secrets->value(service, SupabaseAuthClient::sessionStorageKey);
        if (!bytes)
            return std::nullopt;
        return QJsonDocument::fromJson(*bytes).object();
    }

    // Signs in by e-mail code with a session that expires `secondsLeft` from now.
    bool signIn(const QString& accessToken, const QString& refreshToken = QStringLiteral("refresh-1")) {
        server->enqueue(QStringLiteral("/auth/v1/verify"),
                        HttpFixtureReply::json(200, TestTokens::session(accessToken, refreshToken,
                                                                        AccessTokenExpiry(accessToken))));
        QCoro::waitFor(manager->verifyOTP(QStringLiteral("user@example.com"), code, AuthLoginMethod::email));
        return QTest::qWaitFor([&] { return manager->isAuthenticated(); }, 5000);
    }

    qint64 AccessTokenExpiry(const QString& token) const {
        const QStringList pieces = token.split(QLatin1Char('.'));
        if (pieces.size() < 2)
            return now + 3600;
        const auto payload = QJsonDocument::fromJson(QByteArray::fromBase64(pieces.at(1).toLatin1(),
                                                                            QByteArray::Base64UrlEncoding))
                                 .object();
        return payload.contains(QStringLiteral("exp"))
                   ? qint64(payload.value(QStringLiteral("exp")).toDouble())
                   : now + 3600;
    }

    bool logged(const QString& line) const { return log->infos().contains(line); }

private Q_SLOTS:
    void initTestCase() {
        qputenv("XDG_STATE_HOME", folder.filePath(QStringLiteral("state")).toUtf8());
        setAppSystemLog(log);
        setAppLogToStandardOutput(false);
    }

    void init() {
        static int count = 0;
        server = std::make_unique<HttpFixture>();
        QVERIFY(server->isListening());
        scheduler = std::make_unique<ManualScheduler>();
        now = scheduler->currentDateTime().toSecsSinceEpoch();
        secrets = std::make_shared<InMemorySecretStore>();
        defaults = std::make_shared<QSettings>(
            folder.filePath(QStringLiteral("defaults-%1.ini").arg(++count)), QSettings::IniFormat);
        log->clear();
    }

    void cleanup() {
        // Tokens and codes never reach the log: no JWT ("eyJ..."), refresh token or code.
        for (const QString& line : log->infos()) {
            QVERIFY2(!line.contains(QStringLiteral("eyJ")), qPrintable(line));
            QVERIFY2(!line.contains(QStringLiteral("refresh-")), qPrintable(line));
            QVERIFY2(!line.contains(code), qPrintable(line));
        }
        manager.reset();
        server.reset();
    }

    void sendOTPRequestsACode_data() {
        QTest::addColumn<QString>("contact");
        QTest::addColumn<AuthLoginMethod>("method");
        QTest::addColumn<AuthOTPDeliveryChannel>("channel");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("sentChannel");
        QTest::addColumn<QString>("message");
        QTest::newRow("e-mail trimmed and lower-cased")
            << QStringLiteral("  User@Example.COM \n") << AuthLoginMethod::email
            << AuthOTPDeliveryChannel::whatsapp << QStringLiteral("email")
            << QStringLiteral("user@example.com") << QString()
            << QStringLiteral("OTP sent. Check your email.");
        QTest::newRow("phone by SMS without spaces, plus kept")
            << QStringLiteral(" +55 11 98765 4321 ") << AuthLoginMethod::phone << AuthOTPDeliveryChannel::sms
            << QStringLiteral("phone") << QStringLiteral("+5511987654321") << QStringLiteral("sms")
            << QStringLiteral("OTP sent by SMS.");
        QTest::newRow("phone by WhatsApp keeps hyphens and parentheses")
            << QStringLiteral("+1 (555) 123-4567") << AuthLoginMethod::phone
            << AuthOTPDeliveryChannel::whatsapp << QStringLiteral("phone")
            << QStringLiteral("+1(555)123-4567") << QStringLiteral("whatsapp")
            << QStringLiteral("OTP sent by WhatsApp.");
    }

    void sendOTPRequestsACode() {
        QFETCH(QString, contact);
        QFETCH(AuthLoginMethod, method);
        QFETCH(AuthOTPDeliveryChannel, channel);
        QFETCH(QString, field);
        QFETCH(QString, sent);
        QFETCH(QString, sentChannel);
        QFETCH(QString, message);
        QVERIFY(startManager());
        manager->setAuthError(QStringLiteral("old error"));
        server->enqueue(QStringLiteral("/auth/v1/otp"), HttpFixtureReply::json(200, QJsonObject{}));

        QVERIFY(QCoro::waitFor(manager->sendOTP(contact, method, channel)));

        QCOMPARE(server->requestCount(), 1);
        const RecordedRequest request = server->requests().at(0);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QStringLiteral("/auth/v1/otp"));
        QCOMPARE(request.header("apikey"), anonKey.toUtf8());
        QCOMPARE(request.header("Authorization"), "Bearer " + anonKey.toUtf8());
        QVERIFY(request.header("Content-Type").startsWith("application/json"));
        const QJsonObject body = request.jsonBody();
        QCOMPARE(body.value(field).toString(), sent);
        QCOMPARE(body.value(QStringLiteral("create_user")).toBool(), true);
        QCOMPARE(body.value(QStringLiteral("channel")).toString(), sentChannel);
        QCOMPARE(text(manager->authMessage()), message);
        QCOMPARE(manager->authError(), std::nullopt);
    }

    void emptyContactIsRefusedBeforeAnything_data() {
        QTest::addColumn<QString>("contact");
        QTest::addColumn<AuthLoginMethod>("method");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty e-mail")
            << QString() << AuthLoginMethod::email << QStringLiteral("Enter your email first.");
        QTest::newRow("e-mail of spaces and line breaks")
            << QStringLiteral("   \n\t ") << AuthLoginMethod::email
            << QStringLiteral("Enter your email first.");
        QTest::newRow("phone of spaces") << QStringLiteral("    ") << AuthLoginMethod::phone
                                         << QStringLiteral("Enter your phone number first.");
    }

    void emptyContactIsRefusedBeforeAnything() {
        QFETCH(QString, contact);
        QFETCH(AuthLoginMethod, method);
        QFETCH(QString, expected);
        QVERIFY(startManager());
        manager->setAuthMessage(QStringLiteral("earlier message"));

        QVERIFY(!QCoro::waitFor(manager->sendOTP(contact, method, AuthOTPDeliveryChannel::sms)));
        QCOMPARE(text(manager->authError()), expected);
        QCOMPARE(text(manager->authMessage()), QStringLiteral("earlier message"));

        // With the code empty as well, the contact is what the user hears about.
        manager->setAuthError(std::nullopt);
        QCoro::waitFor(manager->verifyOTP(contact, QStringLiteral("  "), method));
        QCOMPARE(text(manager->authError()), expected);
        QCOMPARE(server->requestCount(), 0);
    }

    void emptyCodeIsRefused() {
        QVERIFY(startManager());
        QCoro::waitFor(manager->verifyOTP(QStringLiteral("user@example.com"), QStringLiteral(" \t\n"),
                                          AuthLoginMethod::email));
        QCOMPARE(text(manager->authError()), QStringLiteral("Enter the verification code."));
        QCOMPARE(server->requestCount(), 0);
    }

    void serviceErrorsBecomeTheDescription_data() {
        QTest::addColumn<HttpFixtureReply>("reply");
        QTest::addColumn<QString>("expected");
        QTest::newRow("msg") << HttpFixtureReply::json(
                                    429, QJsonObject{{QStringLiteral("code"), 429},
                                                     {QStringLiteral("msg"),
                                                      QStringLiteral("Email rate limit exceeded")}})
                             << QStringLiteral("Email rate limit exceeded");
        QTest::newRow("error_description")
            << HttpFixtureReply::json(400,
                                      QJsonObject{{QStringLiteral("error"), QStringLiteral("invalid_grant")},
                                                  {QStringLiteral("error_description"),
                                                   QStringLiteral("Phone number is invalid")}})
            << QStringLiteral("Phone number is invalid");
        QTest::newRow("message") << HttpFixtureReply::json(
                                        503, QJsonObject{{QStringLiteral("message"),
                                                          QStringLiteral("Service unavailable")}})
                                 << QStringLiteral("Service unavailable");
        QTest::newRow("no explanation")
            << HttpFixtureReply::text(500, "oops")
            << QStringLiteral("The sign-in service answered with HTTP status 500.");
    }

    void serviceErrorsBecomeTheDescription() {
        QFETCH(HttpFixtureReply, reply);
        QFETCH(QString, expected);
        QVERIFY(startManager());
        manager->setAuthMessage(QStringLiteral("earlier message"));
        server->enqueue(QStringLiteral("/auth/v1/otp"), reply);
        server->enqueue(QStringLiteral("/auth/v1/verify"), reply);

        QVERIFY(!QCoro::waitFor(manager->sendOTP(QStringLiteral("user@example.com"), AuthLoginMethod::email,
                                                 AuthOTPDeliveryChannel::sms)));
        QCOMPARE(text(manager->authError()), expected);
        QCOMPARE(manager->authMessage(), std::nullopt);

        manager->setAuthMessage(QStringLiteral("earlier message"));
        QCoro::waitFor(manager->verifyOTP(QStringLiteral("user@example.com"), code, AuthLoginMethod::email));
        QCOMPARE(text(manager->authError()), expected);
        QCOMPARE(manager->authMessage(), std::nullopt);
        QVERIFY(!manager->isAuthenticated());
        QCOMPARE(storedSession(), std::nullopt);
    }

    void unreachableServiceIsReported() {
        // A port that was free a moment ago: nothing answers there.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        AppConfiguration unreachable = configuration();
        unreachable.supabaseURL.setPort(probe.serverPort());
        probe.close();
        manager = std::make_unique<AuthManager>(unreachable, environment());
        QTRY_VERIFY(!manager->isLoading());

        QVERIFY(!QCoro::waitFor(manager->sendOTP(QStringLiteral("user@example.com"), AuthLoginMethod::email,
                                                 AuthOTPDeliveryChannel::sms)));
        QVERIFY2(
            text(manager->authError()).startsWith(QStringLiteral("Could not reach the sign-in service: ")),
            qPrintable(text(manager->authError())));
        QVERIFY(
            log->infos().last().startsWith(QStringLiteral("SupabaseAuth: POST otp failed: Could not reach")));
    }

    void verifyOTPSignsIn_data() {
        QTest::addColumn<QString>("contact");
        QTest::addColumn<AuthLoginMethod>("method");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("type");
        QTest::newRow("e-mail") << QStringLiteral(" User@Example.com") << AuthLoginMethod::email
                                << QStringLiteral("email") << QStringLiteral("user@example.com")
                                << QStringLiteral("email");
        // Codes that came by WhatsApp are verified as SMS codes.
        QTest::newRow("phone code from WhatsApp")
            << QStringLiteral("+55 11 98765 4321") << AuthLoginMethod::phone << QStringLiteral("phone")
            << QStringLiteral("+5511987654321") << QStringLiteral("sms");
    }

    void verifyOTPSignsIn() {
        QFETCH(QString, contact);
        QFETCH(AuthLoginMethod, method);
        QFETCH(QString, field);
        QFETCH(QString, sent);
        QFETCH(QString, type);
        QVERIFY(startManager());
        manager->setAuthError(QStringLiteral("old error"));
        const QString accessToken = TestTokens::expiringAt(now + 3600);
        server->enqueue(
            QStringLiteral("/auth/v1/verify"),
            HttpFixtureReply::json(200, TestTokens::session(accessToken, QStringLiteral("refresh-1"),
                                                            now + 3600, TestTokens::user({}, sent))));

        QCoro::waitFor(
            manager->verifyOTP(contact, QStringLiteral("  ") + code + QStringLiteral("\n"), method));

        QCOMPARE(server->requestCount(), 1);
        const QJsonObject body = server->requests().at(0).jsonBody();
        QCOMPARE(body.value(field).toString(), sent);
        QCOMPARE(body.value(QStringLiteral("token")).toString(), code);
        QCOMPARE(body.value(QStringLiteral("type")).toString(), type);
        QCOMPARE(text(manager->authMessage()), QStringLiteral("Login confirmed."));
        QCOMPARE(manager->authError(), std::nullopt);
        // The user arrives through the session-change stream.
        QTRY_VERIFY(manager->isAuthenticated());
        QCOMPARE(manager->currentUser()->phone, sent);
        QCOMPARE(manager->currentUser()->id, QStringLiteral("user-1"));
        const auto stored = storedSession();
        QVERIFY(stored);
        QCOMPARE(stored->value(QStringLiteral("access_token")).toString(), accessToken);
        QCOMPARE(stored->value(QStringLiteral("refresh_token")).toString(), QStringLiteral("refresh-1"));
        QCOMPARE(secrets->itemCount(service, SupabaseAuthClient::sessionStorageKey), 1);
    }

    void tokenSignInThenFailedRenewal() {
        QVERIFY(startManager());
        const QString token = TestTokens::expiringAt(now + 3600);
        server->enqueue(QStringLiteral("/auth/v1/user"), HttpFixtureReply::json(200, TestTokens::user()));
        QSignalSpy loading(manager.get(), &AuthManager::isLoadingChanged);
        QStringList messages;
        connect(manager.get(), &AuthManager::authMessageChanged, this,
                [&] { messages << text(manager->authMessage()); });

        QCoro::waitFor(manager->signInWithToken(token));

        QCOMPARE(server->requestCount(), 1);
        const RecordedRequest request = server->requests().at(0);
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.path, QStringLiteral("/auth/v1/user"));
        QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
        QCOMPARE(request.header("apikey"), anonKey.toUtf8());
        QCOMPARE(loading.count(), 2); // on, then off
        QCOMPARE(messages, QStringList({QStringLiteral("Authenticating with token..."),
                                        QStringLiteral("Authenticated successfully!")}));
        QTRY_VERIFY(manager->isAuthenticated());
        QCOMPARE(QCoro::waitFor(manager->validAccessToken()), std::optional<QString>(token));
        QCOMPARE(storedSession()->value(QStringLiteral("refresh_token")).toString(), QString());

        // 59 seconds before expiry: renewal is due, but there is nothing to renew with.
        scheduler->advance(std::chrono::seconds(3600 - 59));
        QCOMPARE(QCoro::waitFor(manager->validAccessToken()), std::nullopt);
        QVERIFY(logged(QStringLiteral(
            "AuthManager: Access token expired or near expiration, refreshing before request")));
        QVERIFY(logged(
            QStringLiteral("AuthManager: Could not load/refresh access token: This session has no refresh "
                           "token and cannot be renewed.")));
        QVERIFY(!QCoro::waitFor(manager->ensureValidSession()));
        QVERIFY(logged(QStringLiteral("AuthManager: Token near expiration, forcing refresh")));
        QVERIFY(logged(
            QStringLiteral("AuthManager: Session refresh failed: This session has no refresh token and "
                           "cannot be renewed.")));
        QCOMPARE(server->requestCount(), 1);
        // The session is not removed for that.
        QVERIFY(manager->isAuthenticated());
        QVERIFY(storedSession());
    }

    void tokenSignInRefused() {
        QVERIFY(startManager());
        server->enqueue(
            QStringLiteral("/auth/v1/user"),
            HttpFixtureReply::json(
                401, QJsonObject{{QStringLiteral("msg"), QStringLiteral("invalid JWT: token is expired")}}));
        QCoro::waitFor(manager->signInWithToken(TestTokens::expiringAt(now - 10)));
        QCOMPARE(text(manager->authError()), QStringLiteral("invalid JWT: token is expired"));
        QCOMPARE(text(manager->authMessage()), QStringLiteral("Authenticating with token..."));
        QVERIFY(!manager->isLoading());
        QVERIFY(!manager->isAuthenticated());
        QCOMPARE(storedSession(), std::nullopt);
    }

    void tokenCloseToExpiryIsRenewed_data() {
        QTest::addColumn<int>("secondsLeft");
        QTest::addColumn<bool>("viaEnsure");
        QTest::addColumn<bool>("renewed");
        QTest::newRow("59 s, token provider") << 59 << false << true;
        QTest::newRow("61 s, token provider") << 61 << false << false;
        QTest::newRow("59 s, session check") << 59 << true << true;
        QTest::newRow("61 s, session check") << 61 << true << false;
    }

    void tokenCloseToExpiryIsRenewed() {
        QFETCH(int, secondsLeft);
        QFETCH(bool, viaEnsure);
        QFETCH(bool, renewed);
        QVERIFY(startManager());
        const QString first = TestTokens::expiringAt(now + secondsLeft);
        QVERIFY(signIn(first));
        server->clear();
        const QString second = TestTokens::expiringAt(now + 3600, QStringLiteral("user-1-renewed"));
        server->enqueue(QStringLiteral("/auth/v1/token"),
                        HttpFixtureReply::json(
                            200, TestTokens::session(second, QStringLiteral("refresh-2"), now + 3600)));

        if (viaEnsure) {
            QVERIFY(QCoro::waitFor(manager->ensureValidSession()));
            QCOMPARE(logged(QStringLiteral("AuthManager: Token refreshed successfully")), renewed);
        } else {
            const auto got = QCoro::waitFor(manager->validAccessToken());
            QCOMPARE(got, std::optional<QString>(renewed ? second : first));
        }

        QCOMPARE(server->requestCount(), renewed ? 1 : 0);
        if (renewed) {
            const RecordedRequest request = server->requests().at(0);
            QCOMPARE(request.path, QStringLiteral("/auth/v1/token"));
            QCOMPARE(request.query.queryItemValue(QStringLiteral("grant_type")),
                     QStringLiteral("refresh_token"));
            QCOMPARE(request.jsonBody().value(QStringLiteral("refresh_token")).toString(),
                     QStringLiteral("refresh-1"));
            QCOMPARE(storedSession()->value(QStringLiteral("access_token")).toString(), second);
            QCOMPARE(storedSession()->value(QStringLiteral("refresh_token")).toString(),
                     QStringLiteral("refresh-2"));
        }
    }

    void unreadableTokensCountAsExpiring_data() {
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("expiring");
        QTest::newRow("an hour left") << TestTokens::expiringAt(now + 3600) << false;
        QTest::newRow("expired") << TestTokens::expiringAt(now - 1) << true;
        QTest::newRow("fractional exp 60.5 s ahead")
            << TestTokens::fromPayload(
                   QByteArray::number(double(now) + 60.5, 'f', 1).prepend(R"({"exp":)").append('}'))
            << false;
        QTest::newRow("no exp") << TestTokens::fromPayload(R"({"sub":"user-1"})") << true;
        QTest::newRow("exp as a string") << TestTokens::fromPayload(R"({"exp":"99999999999"})") << true;
        QTest::newRow("one piece only") << QStringLiteral("eyJleHAiOjk5OTk5OTk5OTk5fQ") << true;
        QTest::newRow("empty pieces do not count")
            << QStringLiteral("..eyJleHAiOjk5OTk5OTk5OTk5fQ..") << true;
        QTest::newRow("payload not Base64") << QStringLiteral("header.@@@!.signature") << true;
        QTest::newRow("payload not JSON") << TestTokens::fromPayload("not json") << true;
        QTest::newRow("payload an array") << TestTokens::fromPayload("[99999999999]") << true;
    }

    void unreadableTokensCountAsExpiring() {
        QFETCH(QString, token);
        QFETCH(bool, expiring);
        QVERIFY(startManager());
        QCOMPARE(manager->isTokenExpiringSoon(token), expiring);
    }

    void opaqueTokenIsRenewedBeforeUse() {
        QVERIFY(startManager());
        QVERIFY(signIn(QStringLiteral("not-a-jwt")));
        server->clear();
        const QString renewed = TestTokens::expiringAt(now + 3600);
        server->enqueue(QStringLiteral("/auth/v1/token"),
                        HttpFixtureReply::json(
                            200, TestTokens::session(renewed, QStringLiteral("refresh-2"), now + 3600)));
        QCOMPARE(QCoro::waitFor(manager->validAccessToken()), std::optional<QString>(renewed));
        QCOMPARE(server->requestCount(), 1);
    }

    void signOutForgetsTheSession() {
        const QString token = TestTokens::expiringAt(now + 3600);
        storeSession(token, QStringLiteral("refresh-1"), now + 3600);
        QVERIFY(startManager());
        QVERIFY(manager->isAuthenticated());
        manager->setAuthError(QStringLiteral("old error"));
        server->enqueue(QStringLiteral("/auth/v1/logout"), HttpFixtureReply::text(204, {}));

        QCoro::waitFor(manager->signOut());

        QCOMPARE(server->requestCount(), 1);
        const RecordedRequest request = server->requests().at(0);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QStringLiteral("/auth/v1/logout"));
        QCOMPARE(request.query.queryItemValue(QStringLiteral("scope")), QStringLiteral("global"));
        QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
        QCOMPARE(text(manager->authMessage()), QStringLiteral("Signed out."));
        QCOMPARE(manager->authError(), std::nullopt);
        QVERIFY(!manager->isAuthenticated());
        QCOMPARE(storedSession(), std::nullopt);
        QCOMPARE(QCoro::waitFor(manager->validAccessToken()), std::nullopt);
        QCoreApplication::processEvents();
        QVERIFY(!manager->isAuthenticated());
    }

    void signOutRefusedKeepsTheSession_data() {
        QTest::addColumn<HttpFixtureReply>("reply");
        QTest::addColumn<QString>("expected");
        QTest::newRow("service error")
            << HttpFixtureReply::json(500,
                                      QJsonObject{{QStringLiteral("msg"), QStringLiteral("Database error")}})
            << QStringLiteral("Database error");
        QTest::newRow("keyring locked")
            << HttpFixtureReply::text(204, {}) << QStringLiteral("Keychain error (status: -25308)");
    }

    void signOutRefusedKeepsTheSession() {
        QFETCH(HttpFixtureReply, reply);
        QFETCH(QString, expected);
        storeSession(TestTokens::expiringAt(now + 3600), QStringLiteral("refresh-1"), now + 3600);
        QVERIFY(startManager());
        manager->setAuthMessage(QStringLiteral("earlier message"));
        server->enqueue(QStringLiteral("/auth/v1/logout"), reply);
        if (reply.status == 204)
            secrets->setRemoveStatus(SecretStore::statusLocked);

        QCoro::waitFor(manager->signOut());

        QCOMPARE(text(manager->authError()), expected);
        QCOMPARE(text(manager->authMessage()), QStringLiteral("earlier message"));
        QVERIFY(manager->isAuthenticated());
        QVERIFY(storedSession());
    }

    void startUp_data() {
        QTest::addColumn<bool>("stored");
        QTest::newRow("with a stored session") << true;
        QTest::newRow("without a stored session") << false;
    }

    void startUp() {
        QFETCH(bool, stored);
        if (stored)
            storeSession(TestTokens::expiringAt(now + 3600), QStringLiteral("refresh-1"), now + 3600);
        manager = std::make_unique<AuthManager>(configuration(), environment());
        QVERIFY(manager->isLoading());
        QVERIFY(!manager->isAuthenticated());
        QCOMPARE(manager->authError(), std::nullopt);
        QTRY_VERIFY(!manager->isLoading());
        QCOMPARE(manager->isAuthenticated(), stored);
        if (stored)
            QCOMPARE(manager->currentUser()->email, QStringLiteral("user@example.com"));
        QCOMPARE(server->requestCount(), 0);
    }

    // A locked keyring hides the session; it is neither replaced by a stale copy nor taken for a sign-out.
    void lockedKeyringAtStartUp() {
        storeSession(TestTokens::expiringAt(now + 3600), QStringLiteral("refresh-1"), now + 3600);
        defaults->setValue(SupabaseAuthClient::sessionStorageKey, QByteArray("stale copy"));
        secrets->setReadStatus(SecretStore::statusLocked);

        QVERIFY(startManager());
        QVERIFY(!manager->isAuthenticated());
        QVERIFY(logged(QStringLiteral(
            "SupabaseAuth: Could not read the stored session: Keychain error (status: -25308)")));
        QCOMPARE(QCoro::waitFor(manager->validAccessToken()), std::nullopt);
        QVERIFY(logged(QStringLiteral(
            "AuthManager: Could not load/refresh access token: Keychain error (status: -25308)")));
        QCOMPARE(defaults->value(SupabaseAuthClient::sessionStorageKey).toByteArray(),
                 QByteArray("stale copy"));
        QCOMPARE(secrets->addCount(), 1); // only the test's own
        QCOMPARE(secrets->removeCount(), 0);

        // Once the keyring opens, the session is found and the user is signed in.
        secrets->setReadStatus(SecretStore::statusSuccess);
        QVERIFY(QCoro::waitFor(manager->validAccessToken()));
        QTRY_VERIFY(manager->isAuthenticated());
        QCOMPARE(server->requestCount(), 0);
    }

    void noConfiguration() {
        manager = std::make_unique<AuthManager>(std::nullopt, environment());
        QVERIFY(!manager->isLoading());
        QCOMPARE(text(manager->authError()), QStringLiteral("Supabase is not configured in Info.plist yet."));
        QCOMPARE(manager->supabase(), nullptr);
        QVERIFY(!manager->configuration);

        QVERIFY(!QCoro::waitFor(manager->sendOTP(QStringLiteral("user@example.com"), AuthLoginMethod::email,
                                                 AuthOTPDeliveryChannel::sms)));
        QCoro::waitFor(manager->verifyOTP(QStringLiteral("user@example.com"), code, AuthLoginMethod::email));
        QCoro::waitFor(manager->signInWithToken(TestTokens::expiringAt(now + 3600)));
        QCoro::waitFor(manager->signOut());
        QCOMPARE(QCoro::waitFor(manager->validAccessToken()), std::nullopt);
        QVERIFY(!QCoro::waitFor(manager->ensureValidSession()));
        QCOMPARE(text(manager->authError()), QStringLiteral("Supabase is not configured in Info.plist yet."));
        QCOMPARE(manager->authMessage(), std::nullopt);
        QVERIFY(!manager->isLoading());
        QCOMPARE(secrets->readCount(), 0);
        QCOMPARE(server->requestCount(), 0);
    }

    void sessionRenewsItselfBeforeExpiry_data() {
        QTest::addColumn<HttpFixtureReply>("failure");
        QTest::addColumn<bool>("retried");
        QTest::newRow("service struggling: retried")
            << HttpFixtureReply::json(503, QJsonObject{{QStringLiteral("msg"), QStringLiteral("try later")}})
            << true;
        QTest::newRow("refresh token rejected: not retried")
            << HttpFixtureReply::json(400,
                                      QJsonObject{{QStringLiteral("error_description"),
                                                   QStringLiteral("Invalid Refresh Token: Already Used")}})
            << false;
    }

    void sessionRenewsItselfBeforeExpiry() {
        QFETCH(HttpFixtureReply, failure);
        QFETCH(bool, retried);
        storeSession(TestTokens::expiringAt(now + 3600), QStringLiteral("refresh-1"), now + 3600);
        QVERIFY(startManager());
        const QString renewed = TestTokens::expiringAt(now + 7200);
        server->enqueue(QStringLiteral("/auth/v1/token"),
                        HttpFixtureReply::json(
                            200, TestTokens::session(renewed, QStringLiteral("refresh-2"), now + 7200)));
        server->enqueue(QStringLiteral("/auth/v1/token"), failure);
        QSignalSpy users(manager.get(), &AuthManager::currentUserChanged);

        scheduler->advance(std::chrono::seconds(3600 - 91));
        QCoreApplication::processEvents();
        QCOMPARE(server->requestCount(), 0);
        scheduler->advance(std::chrono::seconds(1));
        QVERIFY(server->waitForRequests(1));
        QTRY_COMPARE(storedSession()->value(QStringLiteral("access_token")).toString(), renewed);
        QVERIFY(manager->isAuthenticated());

        // The next renewal, 90 s before the new expiry, fails.
        scheduler->advance(std::chrono::seconds(3600));
        QVERIFY(server->waitForRequests(2));
        QTRY_VERIFY(logged(
            QStringLiteral("SupabaseAuth: Automatic session renewal failed: ") +
            (retried ? QStringLiteral("try later") : QStringLiteral("Invalid Refresh Token: Already Used"))));
        server->enqueue(QStringLiteral("/auth/v1/token"), failure);
        scheduler->advance(std::chrono::seconds(31));
        if (retried)
            QVERIFY(server->waitForRequests(3));
        else
            QCOMPARE(scheduler->pendingCount(), std::size_t(0));
        QTest::qWait(50);
        QCOMPARE(server->requestCount(), retried ? 3 : 2);
        // Failed renewals never sign the user out.
        QVERIFY(manager->isAuthenticated());
        QCOMPARE(storedSession()->value(QStringLiteral("access_token")).toString(), renewed);
        QCOMPARE(users.count(), 0);
    }

    void sessionChangesArriveInOrder() {
        storeSession(TestTokens::expiringAt(now + 3600), QStringLiteral("refresh-1"), now + 3600);
        KeychainAuthStorage storage(service, *defaults, *secrets);
        SupabaseAuthClient client(server->url(QStringLiteral("/")), anonKey, storage, *scheduler,
                                  sharedNetworkAccessManager());
        QList<AuthChangeEvent> events;
        QList<bool> withSession;
        connect(&client, &SupabaseAuthClient::authStateChanged, this, [&](const AuthStateChange& change) {
            events << change.event;
            withSession << change.session.has_value();
        });
        server->enqueue(
            QStringLiteral("/auth/v1/token"),
            HttpFixtureReply::json(200, TestTokens::session(TestTokens::expiringAt(now + 7200),
                                                            QStringLiteral("refresh-2"), now + 7200)));
        server->enqueue(QStringLiteral("/auth/v1/logout"), HttpFixtureReply::text(204, {}));
        server->enqueue(
            QStringLiteral("/auth/v1/verify"),
            HttpFixtureReply::json(200, TestTokens::session(TestTokens::expiringAt(now + 3600),
                                                            QStringLiteral("refresh-3"), now + 3600)));

        // The initial session comes first even though the refresh is asked for before the loop runs.
        QVERIFY(QCoro::waitFor(client.refreshSession()));
        QVERIFY(QCoro::waitFor(client.signOut()));
        QVERIFY(QCoro::waitFor(client.verifyEmailOTP(QStringLiteral("user@example.com"), code)));
        QTRY_COMPARE(events.size(), 4);
        QCOMPARE(events,
                 QList<AuthChangeEvent>({AuthChangeEvent::initialSession, AuthChangeEvent::tokenRefreshed,
                                         AuthChangeEvent::signedOut, AuthChangeEvent::signedIn}));
        QCOMPARE(withSession, QList<bool>({true, true, false, true}));
    }
};

QTEST_GUILESS_MAIN(AuthTest)
#include "tst_auth.moc"
