#pragma once

#include "AuthStore.h"
#include "HttpMessage.h"
#include "OneTimeCodes.h"

#include <QByteArray>
#include <QString>

#include <optional>

class HttpServer;
class Scheduler;
struct BackendConfig;

// The sign-in service: the subset of the Supabase Auth REST API the client uses, with its paths,
// members and error shapes. One-time codes go to the log and a file instead of mail or SMS.
class AuthService {
public:
    AuthService(const BackendConfig& config, QByteArray tokenSecret, Scheduler& scheduler);

    bool load(QString* error);
    void registerRoutes(HttpServer& server);

    struct Identity {
        AuthUser user;
        QString sessionId;
    };
    struct Check {
        std::optional<Identity> identity;
        QString error; // why the token was refused (never the token itself)
    };
    // A token signed by us, not expired, whose session still exists.
    Check validateAccessToken(const QByteArray& token) const;
    // The bearer token of "Authorization" or "X-Voxlet-Authorization".
    static QByteArray bearerToken(const HttpRequest& request);

    QString codesFilePath() const { return m_codes.filePath(); }

    HttpResponse sendOtp(const HttpRequest& request);
    HttpResponse verify(const HttpRequest& request);
    HttpResponse user(const HttpRequest& request);
    HttpResponse token(const HttpRequest& request);
    HttpResponse logout(const HttpRequest& request);

private:
    qint64 now() const;
    std::optional<HttpResponse> checkApiKey(const HttpRequest& request) const;
    HttpResponse issueSession(AuthUser user, std::optional<AuthSession> existing);
    QJsonObject userJson(const AuthUser& user) const;
    std::optional<HttpResponse> authorize(const HttpRequest& request, Identity* identity) const;

    const BackendConfig& m_config;
    QByteArray m_secret;
    Scheduler& m_scheduler;
    AuthStore m_store;
    OneTimeCodes m_codes;
};
