#pragma once

#include "realtime/RealtimeProtocol.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

#include <functional>
#include <memory>

// A stand-in for the realtime proxy on 127.0.0.1 (a port picked at run time), played from the test:
// each connection attempt is accepted, refused with 401 or left unanswered, and every accepted socket
// records what the client sent.
class ScriptedRealtimeProxy : public QObject {
    Q_OBJECT

public:
    enum class Answer { Accept, Refuse401, Silent };

    struct Connection {
        int index = 0;
        QUrl url;
        QMap<QByteArray, QByteArray> headers;
        QPointer<QWebSocket> socket;
        QList<RealtimeProtocol::ClientMessage> messages;
        QStringList refusedMessages;
        bool disconnected = false;
        // What the server side saw when the client went: its close code, and whether the TCP connection
        // broke (an error before the disconnect) instead of a closing handshake.
        int closeCode = -1;
        bool brokeOff = false;

        int audioMessageCount() const;
        bool receivedCommit() const;
    };

    explicit ScriptedRealtimeProxy(QObject* parent = nullptr);
    ~ScriptedRealtimeProxy() override;

    bool listen();
    // http://127.0.0.1:<port>/api/ : the client derives ws://127.0.0.1:<port>/api/ai/realtime from it.
    QUrl baseURL() const;

    // Answers for the attempts in order; attempts beyond the list are accepted.
    QList<Answer> answers;
    int attemptCount() const { return attempts; }
    const QList<std::shared_ptr<Connection>>& connections() const { return accepted; }
    Connection& connection(int index) { return *accepted.at(index); }

    std::function<void(Connection&)> onOpened;
    std::function<void(Connection&, const RealtimeProtocol::ClientMessage&)> onMessage;

    void send(int connection, const QString& text);
    void sendBinary(int connection, const QByteArray& frame);
    void sendSessionStarted(int connection);
    // Drops the TCP connection without a closing handshake.
    void abort(int connection);
    void close(int connection, int code, const QString& reason = QString());

private:
    void handleAttempt(QTcpSocket* socket);
    void handleUpgraded(QWebSocket* socket);

    QTcpServer tcp;
    QWebSocketServer webSockets;
    int attempts = 0;
    QList<std::shared_ptr<Connection>> accepted;
};
