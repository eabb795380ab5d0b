#pragma once

#include "BackendConfig.h"

#include <QObject>
#include <QString>

#include <memory>

class AuthService;
class BackendService;
class ChatCompletionClient;
class HttpServer;
class QNetworkAccessManager;
class RecognizerPool;
class Scheduler;

// voxlet-backend as one object: the sign-in service, the backend exchanges and the realtime proxy on
// one HTTP server. Tests run it in their own process; main() runs it as the program.
class BackendServer : public QObject {
    Q_OBJECT
public:
    explicit BackendServer(BackendConfig config, Scheduler& scheduler, QObject* parent = nullptr);
    ~BackendServer() override;

    // Prepares the data folder, loads accounts and the speech model, and starts listening.
    bool start(QString* error);

    quint16 port() const;
    const BackendConfig& config() const { return m_config; }
    QString codesFilePath() const;

private:
    bool prepareDataDirectory(QString* error);
    bool loadTokenSecret(QByteArray* secret, QString* error);

    BackendConfig m_config;
    Scheduler& m_scheduler;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<RecognizerPool> m_recognizers;
    std::unique_ptr<ChatCompletionClient> m_chat;
    std::unique_ptr<AuthService> m_auth;
    std::unique_ptr<BackendService> m_backend;
    std::unique_ptr<HttpServer> m_http;
};
