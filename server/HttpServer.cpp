#include "HttpServer.h"

#include "HttpConnectionGuard.h"
#include "ServerLog.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

// Sockets get their guard before the HTTP server connects to them, so the guard sees bytes first.
class GuardedTcpServer : public QTcpServer {
public:
    GuardedTcpServer(const HttpLimits& limits, QObject* parent)
        : QTcpServer(parent)
        , m_limits(limits) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        new HttpConnectionGuard(socket, m_limits);
        addPendingConnection(socket);
    }

private:
    HttpLimits m_limits;
};

namespace {

QByteArray methodName(QHttpServerRequest::Method method) {
    using M = QHttpServerRequest::Method;
    switch (method) {
    case M::Get:
        return "GET";
    case M::Put:
        return "PUT";
    case M::Delete:
        return "DELETE";
    case M::Post:
        return "POST";
    case M::Head:
        return "HEAD";
    case M::Options:
        return "OPTIONS";
    case M::Patch:
        return "PATCH";
    case M::Connect:
        return "CONNECT";
    case M::Trace:
        return "TRACE";
    default:
        return "UNKNOWN";
    }
}

} // namespace

class HttpEngine : public QAbstractHttpServer {
public:
    explicit HttpEngine(HttpServer* owner)
        : m_owner(owner) {}

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        HttpRequest converted;
        converted.method = methodName(request.method());
        converted.path = request.url().path();
        converted.query = request.query();
        for (const auto& [name, value] : request.headers())
            converted.headers.append({name.toLower(), value});
        converted.body = request.body();
        converted.remoteAddress = request.remoteAddress();
        if (converted.header("upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
            return m_owner->checkUpgrade(converted, socket);
        m_owner->dispatch(std::move(converted), socket);
        return true;
    }

    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {
        // Every request is answered in handleRequest, refused upgrades included.
    }

private:
    HttpServer* m_owner;
};

namespace {

void writeResponse(QTcpSocket* socket, const HttpRequest& request, const HttpResponse& response) {
    const bool close = request.header("connection").compare("close", Qt::CaseInsensitive) == 0;
    socket->write(response.serialize(close));
    if (close)
        socket->disconnectFromHost();
}

HttpResponse errorResponse(int status, const QString& message) {
    return HttpResponse::json(
        status, QJsonObject{{QStringLiteral("error"), message}, {QStringLiteral("code"), status}});
}

QCoro::Task<> answer(HttpServer::Handler handler, HttpRequest request, QPointer<QTcpSocket> socket) {
    const QByteArray method = request.method;
    const QString path = request.path;
    HttpResponse response = co_await handler(request);
    // The client may have left while the answer was being made; writing then would crash.
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        serverLog(QStringLiteral("HTTP: client left before the answer to %1 %2 (status %3)")
                      .arg(QString::fromLatin1(method), path)
                      .arg(response.status));
        co_return;
    }
    if (auto* guard = HttpConnectionGuard::of(socket))
        guard->endAnswer();
    writeResponse(socket, request, response);
}

} // namespace

HttpServer::HttpServer(const HttpLimits& limits, QObject* parent)
    : QObject(parent)
    , m_limits(limits)
    , m_engine(std::make_unique<HttpEngine>(this)) {
    connect(m_engine.get(), &QAbstractHttpServer::newWebSocketConnection, this, &HttpServer::takeWebSockets);
}

HttpServer::~HttpServer() = default;

QString HttpServer::normalizedPath(const QString& path) {
    QString result = path;
    while (result.size() > 1 && result.endsWith(QLatin1Char('/')))
        result.chop(1);
    if (!result.startsWith(QLatin1Char('/')))
        result.prepend(QLatin1Char('/'));
    return result;
}

void HttpServer::route(const QByteArray& method, const QString& path, Handler handler) {
    m_routes.push_back(Route{method.toUpper(), normalizedPath(path), std::move(handler)});
}

void HttpServer::webSocketRoute(const QString& path, UpgradeCheck check, WebSocketHandler handler) {
    m_webSocketRoutes.push_back(WebSocketRoute{normalizedPath(path), std::move(check), std::move(handler)});
}

bool HttpServer::listen(const QHostAddress& address, quint16 port, QString* error) {
    auto* server = new GuardedTcpServer(m_limits, m_engine.get());
    if (!server->listen(address, port)) {
        if (error)
            *error = server->errorString();
        delete server;
        return false;
    }
    m_port = server->serverPort();
    m_engine->bind(server);
    return true;
}

quint16 HttpServer::port() const {
    return m_port;
}

void HttpServer::dispatch(HttpRequest request, QTcpSocket* socket) {
    const QString path = normalizedPath(request.path);
    bool pathKnown = false;
    for (const Route& route : m_routes) {
        if (route.path != path)
            continue;
        pathKnown = true;
        if (route.method != request.method)
            continue;
        if (auto* guard = HttpConnectionGuard::of(socket))
            guard->beginAnswer();
        answer(route.handler, std::move(request), QPointer<QTcpSocket>(socket));
        return;
    }
    for (const WebSocketRoute& route : m_webSocketRoutes)
        pathKnown = pathKnown || route.path == path;
    const HttpResponse response = pathKnown ? errorResponse(405, QStringLiteral("Method not allowed"))
                                            : errorResponse(404, QStringLiteral("Not found"));
    writeResponse(socket, request, response);
}

bool HttpServer::checkUpgrade(const HttpRequest& request, QTcpSocket* socket) {
    const QString path = normalizedPath(request.path);
    for (const WebSocketRoute& route : m_webSocketRoutes) {
        if (route.path != path)
            continue;
        if (std::optional<HttpResponse> refusal = route.check(request)) {
            // Returning false makes the HTTP server close the connection after this answer.
            socket->write(refusal->serialize(true));
            return false;
        }
        if (auto* guard = HttpConnectionGuard::of(socket))
            guard->markUpgraded();
        return true;
    }
    socket->write(errorResponse(404, QStringLiteral("Not found")).serialize(true));
    return false;
}

void HttpServer::takeWebSockets() {
    while (m_engine->hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = m_engine->nextPendingWebSocketConnection();
        if (!socket)
            break;
        const QString path = normalizedPath(socket->requestUrl().path());
        auto it = std::find_if(m_webSocketRoutes.begin(), m_webSocketRoutes.end(),
                               [&](const WebSocketRoute& route) { return route.path == path; });
        if (it == m_webSocketRoutes.end()) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("unknown path"));
            continue;
        }
        it->handler(std::move(socket));
    }
}
