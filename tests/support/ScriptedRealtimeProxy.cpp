#include "ScriptedRealtimeProxy.h"

#include <QTcpSocket>

int ScriptedRealtimeProxy::Connection::audioMessageCount() const {
    int count = 0;
    for (const auto& message : messages)
        count += message.commit ? 0 : 1;
    return count;
}

bool ScriptedRealtimeProxy::Connection::receivedCommit() const {
    for (const auto& message : messages)
        if (message.commit)
            return true;
    return false;
}

ScriptedRealtimeProxy::ScriptedRealtimeProxy(QObject* parent)
    : QObject(parent)
    , webSockets(QStringLiteral("scripted-realtime-proxy"), QWebSocketServer::NonSecureMode) {
    QObject::connect(&tcp, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = tcp.nextPendingConnection())
            handleAttempt(socket);
    });
    QObject::connect(&webSockets, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket* socket = webSockets.nextPendingConnection())
            handleUpgraded(socket);
    });
}

ScriptedRealtimeProxy::~ScriptedRealtimeProxy() {
    for (const auto& connection : std::as_const(accepted))
        if (connection->socket)
            QObject::disconnect(connection->socket, nullptr, this, nullptr);
}

bool ScriptedRealtimeProxy::listen() {
    return tcp.listen(QHostAddress::LocalHost, 0);
}

QUrl ScriptedRealtimeProxy::baseURL() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/api/").arg(tcp.serverPort()));
}

void ScriptedRealtimeProxy::handleAttempt(QTcpSocket* socket) {
    const Answer answer = attempts < answers.size() ? answers.at(attempts) : Answer::Accept;
    ++attempts;
    socket->setParent(this);
    switch (answer) {
    case Answer::Accept:
        webSockets.handleConnection(socket);
        break;
    case Answer::Refuse401:
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            if (!socket->readAll().contains("\r\n\r\n"))
                return;
            socket->write("HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n");
        });
        break;
    case Answer::Silent:
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
        break;
    }
}

void ScriptedRealtimeProxy::handleUpgraded(QWebSocket* socket) {
    auto connection = std::make_shared<Connection>();
    connection->index = int(accepted.size());
    connection->socket = socket;
    const QNetworkRequest request = socket->request();
    connection->url = request.url();
    for (const QByteArray& name : request.rawHeaderList())
        connection->headers.insert(name.toLower(), request.rawHeader(name));
    socket->setParent(this);
    accepted.append(connection);

    Connection* raw = connection.get();
    QObject::connect(socket, &QWebSocket::textMessageReceived, this, [this, raw](const QString& text) {
        auto decoded = RealtimeProtocol::decodeClientMessage(text);
        if (!decoded.message) {
            raw->refusedMessages.append(decoded.error);
            return;
        }
        raw->messages.append(*decoded.message);
        if (onMessage)
            onMessage(*raw, *decoded.message);
    });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, this, [raw](const QByteArray&) {
        raw->refusedMessages.append(QStringLiteral("binary frame"));
    });
    QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                     [raw](QAbstractSocket::SocketError) { raw->brokeOff = !raw->disconnected; });
    QObject::connect(socket, &QWebSocket::disconnected, this, [raw, socket] {
        raw->disconnected = true;
        raw->closeCode = int(socket->closeCode());
    });
    if (onOpened)
        onOpened(*raw);
}

void ScriptedRealtimeProxy::send(int index, const QString& text) {
    connection(index).socket->sendTextMessage(text);
}

void ScriptedRealtimeProxy::sendBinary(int index, const QByteArray& frame) {
    connection(index).socket->sendBinaryMessage(frame);
}

void ScriptedRealtimeProxy::sendSessionStarted(int index) {
    send(index, RealtimeProtocol::encodeSessionStarted({{QStringLiteral("sample_rate"), 16000}}));
}

void ScriptedRealtimeProxy::abort(int index) {
    connection(index).socket->abort();
}

void ScriptedRealtimeProxy::close(int index, int code, const QString& reason) {
    connection(index).socket->close(QWebSocketProtocol::CloseCode(code), reason);
}
