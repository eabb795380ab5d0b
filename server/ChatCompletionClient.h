#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;

// A client of an OpenAI-compatible chat-completions endpoint: one system instruction, one user text.
class ChatCompletionClient {
public:
    ChatCompletionClient(QNetworkAccessManager& network, QUrl baseUrl, QString model, QString apiKey,
                         int timeoutSeconds);

    bool isConfigured() const { return m_baseUrl.isValid() && !m_baseUrl.isEmpty(); }
    QString model() const { return m_model; }

    struct Result {
        std::optional<QString> text;
        QString error; // what failed, when text is empty
    };
    QCoro::Task<Result> complete(QString instruction, QString input);

private:
    QNetworkAccessManager& m_network;
    QUrl m_baseUrl;
    QString m_model;
    QString m_apiKey;
    int m_timeoutSeconds;
};
