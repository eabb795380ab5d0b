#include "BackendServer.h"

#include "AuthService.h"
#include "BackendService.h"
#include "ChatCompletionClient.h"
#include "HttpServer.h"
#include "RealtimeSession.h"
#include "RecognizerPool.h"
#include "ServerLog.h"
#include "WebSignInPage.h"
#include "platform/Scheduler.h"
#include "realtime/RealtimeProtocol.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QWebSocket>

BackendServer::BackendServer(BackendConfig config, Scheduler& scheduler, QObject* parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_scheduler(scheduler) {}

BackendServer::~BackendServer() {
    // Realtime sessions hold decoders of the pool: end them first.
    m_http.reset();
    qDeleteAll(findChildren<RealtimeSession*>(QString(), Qt::FindDirectChildrenOnly));
}

quint16 BackendServer::port() const {
    return m_http ? m_http->port() : 0;
}

QString BackendServer::codesFilePath() const {
    return m_auth ? m_auth->codesFilePath() : QString();
}

bool BackendServer::prepareDataDirectory(QString* error) {
    QDir dir(m_config.dataDirectory);
    if (!dir.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("cannot create data folder %1").arg(m_config.dataDirectory);
        return false;
    }
    QFile::setPermissions(dir.absolutePath(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_config.dataDirectory = dir.absolutePath();
    return true;
}

bool BackendServer::loadTokenSecret(QByteArray* secret, QString* error) {
    if (!m_config.tokenSecret.isEmpty()) {
        *secret = m_config.tokenSecret;
        return true;
    }
    // Kept in the data folder so that sessions survive a restart.
    const QString path = QDir(m_config.dataDirectory).filePath(QStringLiteral("token-secret"));
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        *secret = file.readAll().trimmed();
        if (secret->size() >= 32)
            return true;
        *error = QStringLiteral("%1 is too short to sign tokens; remove it to make a new one").arg(path);
        return false;
    }
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    *secret = bytes.toHex();
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    out.write(*secret + '\n');
    if (!out.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

bool BackendServer::start(QString* error) {
    QByteArray secret;
    if (!prepareDataDirectory(error) || !loadTokenSecret(&secret, error))
        return false;

    m_recognizers = std::make_unique<RecognizerPool>(
        RecognizerModel{m_config.modelDirectory, m_config.grammarPath}, m_config.maxRecognizers);
    QString why;
    if (!m_recognizers->warmUp(&why)) {
        *error = QStringLiteral("speech recognition unavailable: ") + why;
        return false;
    }

    m_network = std::make_unique<QNetworkAccessManager>();
    m_chat = std::make_unique<ChatCompletionClient>(*m_network, m_config.chatEndpoint, m_config.chatModel,
                                                    m_config.chatApiKey, m_config.chatTimeoutSeconds);
    m_auth = std::make_unique<AuthService>(m_config, secret, m_scheduler);
    if (!m_auth->load(&why)) {
        *error = QStringLiteral("cannot load accounts: ") + why;
        return false;
    }
    m_backend = std::make_unique<BackendService>(m_config, *m_auth, *m_recognizers, *m_chat);

    m_http = std::make_unique<HttpServer>(m_config.http);
    m_auth->registerRoutes(*m_http);
    m_backend->registerRoutes(*m_http);
    WebSignInPage::registerRoutes(*m_http, m_config.anonKey);

    const RealtimeLimits limits{m_config.maxWebSocketMessageBytes, m_config.maxChunkAudioBytes,
                                m_config.maxSessionAudioSeconds, m_config.webSocketIdleTimeoutMs};
    m_http->webSocketRoute(
        QStringLiteral("/ai/realtime"),
        [this](const HttpRequest& request) -> std::optional<HttpResponse> {
            QByteArray token = AuthService::bearerToken(request);
            if (token.isEmpty())
                token =
                    request.query.queryItemValue(QStringLiteral("access_token"), QUrl::FullyDecoded).toUtf8();
            const AuthService::Check check = m_auth->validateAccessToken(token);
            if (check.identity)
                return std::nullopt;
            serverLog(QStringLiteral("Realtime: upgrade refused: %1").arg(check.error));
            return HttpResponse::json(
                401, QJsonObject{{QStringLiteral("error"), QStringLiteral("Unauthorized: ") + check.error},
                                 {QStringLiteral("status"), 401}});
        },
        [this, limits](std::unique_ptr<QWebSocket> socket) {
            const QString label = socket->peerAddress().toString();
            auto* session = new RealtimeSession(std::move(socket), *m_recognizers, limits, label, this);
            connect(session, &RealtimeSession::finished, session, &QObject::deleteLater);
        });

    if (!m_http->listen(m_config.address, m_config.port, &why)) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(m_config.address.toString())
                     .arg(m_config.port)
                     .arg(why);
        return false;
    }
    serverLog(QStringLiteral("Backend: listening on http://%1:%2 (data %3, recogniser %4, formatter %5)")
                  .arg(m_config.address.toString())
                  .arg(m_http->port())
                  .arg(m_config.dataDirectory, m_recognizers->modelName(),
                       m_chat->isConfigured()
                           ? m_config.chatEndpoint.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery)
                           : QStringLiteral("local rules")));
    serverLog(
        QStringLiteral("Backend: one-time sign-in codes are written to %1").arg(m_auth->codesFilePath()));
    return true;
}
