#include "HttpConnectionGuard.h"

#include "HttpMessage.h"
#include "ServerLog.h"

#include <QJsonObject>
#include <QTcpSocket>

namespace {

constexpr int drainGraceMs = 2000;

} // namespace

HttpConnectionGuard::HttpConnectionGuard(QTcpSocket* socket, const HttpLimits& limits)
    : QObject(socket)
    , m_socket(socket)
    , m_limits(limits) {
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(m_limits.idleTimeoutMs);
    connect(&m_idleTimer, &QTimer::timeout, this, &HttpConnectionGuard::onIdle);
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnectionGuard::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (!m_upgraded)
            m_idleTimer.start();
    });
    m_idleTimer.start();
}

HttpConnectionGuard* HttpConnectionGuard::of(QTcpSocket* socket) {
    return socket ? socket->findChild<HttpConnectionGuard*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void HttpConnectionGuard::beginAnswer() {
    ++m_pendingAnswers;
}

void HttpConnectionGuard::endAnswer() {
    if (m_pendingAnswers > 0)
        --m_pendingAnswers;
    if (!m_upgraded)
        m_idleTimer.start();
}

void HttpConnectionGuard::markUpgraded() {
    m_upgraded = true;
    m_idleTimer.stop();
}

void HttpConnectionGuard::onReadyRead() {
    if (m_upgraded)
        return;
    m_idleTimer.start();
    if (m_state == State::rejected) {
        drain();
        return;
    }
    // The server reads everything available after this slot, so what is available now is new.
    consume(m_socket->peek(m_socket->bytesAvailable()));
}

void HttpConnectionGuard::consume(const QByteArray& bytes) {
    qsizetype pos = 0;
    while (pos < bytes.size() && m_state != State::rejected) {
        if (m_state == State::body) {
            const qint64 take = std::min<qint64>(m_bodyRemaining, bytes.size() - pos);
            m_bodyRemaining -= take;
            pos += take;
            if (m_bodyRemaining == 0)
                m_state = State::header;
            continue;
        }
        const qsizetype before = m_header.size();
        m_header.append(bytes.constData() + pos,
                        std::clamp<qsizetype>(m_limits.maxHeaderBytes + 4 - before, 0, bytes.size() - pos));
        const qsizetype end = m_header.indexOf("\r\n\r\n", std::max<qsizetype>(before - 3, 0));
        if (end < 0) {
            if (m_header.size() > m_limits.maxHeaderBytes)
                reject(431, "Request header too large");
            return;
        }
        pos += end + 4 - before;
        m_header.truncate(end);
        if (!inspectHeader(end))
            return;
        m_header.clear();
    }
}

bool HttpConnectionGuard::inspectHeader(qsizetype headerEnd) {
    if (headerEnd > m_limits.maxHeaderBytes) {
        reject(431, "Request header too large");
        return false;
    }
    const QList<QByteArray> lines = m_header.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1.") || requestLine[0].isEmpty()) {
        reject(400, "Malformed request line");
        return false;
    }
    qint64 contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            reject(400, "Malformed header line");
            return false;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool ok = false;
            contentLength = value.toLongLong(&ok);
            if (!ok || contentLength < 0) {
                reject(400, "Invalid Content-Length");
                return false;
            }
        } else if (name == "transfer-encoding" && value.toLower() != "identity") {
            reject(411, "Chunked uploads are not accepted; send Content-Length");
            return false;
        }
    }
    if (contentLength > m_limits.maxBodyBytes) {
        m_drainRemaining = contentLength;
        reject(413, "Request body too large (limit " + QByteArray::number(m_limits.maxBodyBytes) + " bytes)");
        return false;
    }
    m_bodyRemaining = contentLength;
    m_state = contentLength > 0 ? State::body : State::header;
    return true;
}

void HttpConnectionGuard::reject(int status, const QByteArray& message) {
    serverLog(QStringLiteral("HTTP: refusing request from %1: %2 %3")
                  .arg(m_socket->peerAddress().toString())
                  .arg(status)
                  .arg(QString::fromUtf8(message)));
    m_state = State::rejected;
    // From here on the HTTP server must not see this connection's bytes.
    disconnect(m_socket, &QTcpSocket::readyRead, nullptr, nullptr);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnectionGuard::onReadyRead);
    const HttpResponse response =
        HttpResponse::json(status, QJsonObject{{QStringLiteral("error"), QString::fromUtf8(message)},
                                               {QStringLiteral("code"), status}});
    m_socket->write(response.serialize(true));
    // Read and drop what the client is still sending, so that closing does not reset the connection
    // before the client has read the answer.
    m_idleTimer.start(drainGraceMs);
    drain();
}

void HttpConnectionGuard::drain() {
    const QByteArray dropped = m_socket->read(m_socket->bytesAvailable());
    m_drainRemaining -= dropped.size();
    if (m_drainRemaining <= 0)
        m_socket->disconnectFromHost();
}

void HttpConnectionGuard::onIdle() {
    if (m_upgraded)
        return;
    if (m_state == State::rejected) {
        m_socket->disconnectFromHost();
        return;
    }
    if (m_pendingAnswers > 0) {
        m_idleTimer.start();
        return;
    }
    serverLog(QStringLiteral("HTTP: closing idle connection from %1 after %2 ms")
                  .arg(m_socket->peerAddress().toString())
                  .arg(m_limits.idleTimeoutMs));
    m_socket->disconnectFromHost();
}
