#include "ChatCompletionClient.h"

#include "dictation/TextHelpers.h"

#include <QCoroNetworkReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

ChatCompletionClient::ChatCompletionClient(QNetworkAccessManager& network, QUrl baseUrl, QString model,
                                           QString apiKey, int timeoutSeconds)
    : m_network(network)
    , m_baseUrl(std::move(baseUrl))
    , m_model(std::move(model))
    , m_apiKey(std::move(apiKey))
    , m_timeoutSeconds(timeoutSeconds) {}

QCoro::Task<ChatCompletionClient::Result> ChatCompletionClient::complete(QString instruction, QString input) {
    QUrl url = m_baseUrl;
    url.setPath(TextHelpers::appendingPathComponent(url.path(), QStringLiteral("chat/completions")));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!m_apiKey.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_apiKey.toUtf8());
    request.setTransferTimeout(m_timeoutSeconds * 1000);
    const QJsonObject body{{QStringLiteral("model"), m_model},
                           {QStringLiteral("temperature"), 0.2},
                           {QStringLiteral("messages"),
                            QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("system")},
                                                   {QStringLiteral("content"), instruction}},
                                       QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                   {QStringLiteral("content"), input}}}}};
    std::unique_ptr<QNetworkReply> reply(
        co_await m_network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)));
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError && status == 0)
        co_return Result{std::nullopt, QStringLiteral("chat endpoint unreachable: ") + reply->errorString()};
    if (status < 200 || status > 299)
        co_return Result{std::nullopt, QStringLiteral("chat endpoint answered status %1").arg(status)};
    const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll());
    const QJsonValue content = doc.object()
                                   .value(QStringLiteral("choices"))
                                   .toArray()
                                   .at(0)
                                   .toObject()
                                   .value(QStringLiteral("message"))
                                   .toObject()
                                   .value(QStringLiteral("content"));
    if (!content.isString())
        co_return Result{std::nullopt,
                         QStringLiteral("chat endpoint answer has no choices[0].message.content")};
    co_return Result{TextHelpers::trimmed(content.toString()), {}};
}
