#pragma once

#include "HttpMessage.h"

#include <QCoroTask>

class AuthService;
class ChatCompletionClient;
class HttpServer;
class RecognizerPool;
struct BackendConfig;

// The backend exchanges under the API base URL: capabilities, batch transcription, text and audio
// formatting, translation, and the release record.
class BackendService {
public:
    BackendService(const BackendConfig& config, AuthService& auth, RecognizerPool& recognizers,
                   ChatCompletionClient& chat);

    void registerRoutes(HttpServer& server);

    QCoro::Task<HttpResponse> capabilities(HttpRequest request);
    QCoro::Task<HttpResponse> transcribe(HttpRequest request);
    QCoro::Task<HttpResponse> format(HttpRequest request);
    QCoro::Task<HttpResponse> audioFormat(HttpRequest request);
    QCoro::Task<HttpResponse> translate(HttpRequest request);
    HttpResponse version(const HttpRequest& request) const;

private:
    struct Transcription {
        std::optional<QString> text;
        int status = 200; // when text is empty: the status to answer with
        QString error;
    };
    QCoro::Task<Transcription> recognizeWav(QByteArray wav, QString trace);
    QCoro::Task<std::optional<QString>> styled(QString input, QString customPrompt, QString* error);
    std::optional<HttpResponse> refuseUnauthorized(const HttpRequest& request) const;

    const BackendConfig& m_config;
    AuthService& m_auth;
    RecognizerPool& m_recognizers;
    ChatCompletionClient& m_chat;
};
