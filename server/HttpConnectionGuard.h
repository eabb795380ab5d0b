#pragma once

#include "HttpLimits.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// Watches the bytes of one HTTP connection before the HTTP server parses them: refuses oversized
// headers or bodies, chunked uploads and lines that are not HTTP, and closes connections that sit idle.
// Qt HTTP Server 6.4 would otherwise buffer any body whole and keep idle connections for ever.
// It must be connected to readyRead before the server is.
class HttpConnectionGuard : public QObject {
    Q_OBJECT
public:
    HttpConnectionGuard(QTcpSocket* socket, const HttpLimits& limits);

    static HttpConnectionGuard* of(QTcpSocket* socket);

    // A request is being answered: the idle timer waits for the answer.
    void beginAnswer();
    void endAnswer();
    // The connection became a WebSocket, which keeps its own time-outs.
    void markUpgraded();

private:
    void onReadyRead();
    void onIdle();
    void consume(const QByteArray& bytes);
    bool inspectHeader(qsizetype headerEnd);
    void reject(int status, const QByteArray& message);
    void drain();

    enum class State { header, body, rejected };
    QTcpSocket* m_socket;
    HttpLimits m_limits;
    State m_state = State::header;
    QByteArray m_header;
    qint64 m_bodyRemaining = 0;
    qint64 m_drainRemaining = 0;
    int m_pendingAnswers = 0;
    bool m_upgraded = false;
    QTimer m_idleTimer;
};
