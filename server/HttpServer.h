#pragma once

#include "HttpLimits.h"
#include "HttpMessage.h"

#include <QCoroTask>
#include <QHostAddress>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

class QWebSocket;
class HttpEngine;

// The one place that knows Qt HTTP Server (its 6.4 API is a preview): routes by method and path,
// handlers that answer asynchronously, WebSocket routes whose upgrade can be refused with an HTTP
// answer, and the connection limits of HttpLimits.
class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<QCoro::Task<HttpResponse>(HttpRequest)>;
    // Nothing accepts the upgrade; an answer refuses it with that answer.
    using UpgradeCheck = std::function<std::optional<HttpResponse>(const HttpRequest&)>;
    using WebSocketHandler = std::function<void(std::unique_ptr<QWebSocket>)>;

    explicit HttpServer(const HttpLimits& limits, QObject* parent = nullptr);
    ~HttpServer() override;

    void route(const QByteArray& method, const QString& path, Handler handler);
    void webSocketRoute(const QString& path, UpgradeCheck check, WebSocketHandler handler);

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;

private:
    friend class HttpEngine;
    struct Route {
        QByteArray method;
        QString path;
        Handler handler;
    };
    struct WebSocketRoute {
        QString path;
        UpgradeCheck check;
        WebSocketHandler handler;
    };
    static QString normalizedPath(const QString& path);
    void dispatch(HttpRequest request, class QTcpSocket* socket);
    bool checkUpgrade(const HttpRequest& request, class QTcpSocket* socket);
    void takeWebSockets();

    HttpLimits m_limits;
    std::unique_ptr<HttpEngine> m_engine;
    std::vector<Route> m_routes;
    std::vector<WebSocketRoute> m_webSocketRoutes;
    quint16 m_port = 0;
};
