#include "HttpFixture.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 422:
        return "Unprocessable Entity";
    case 425:
        return "Too Early";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

// Outcome of trying to read one whole request from the front of a buffer.
enum class Parse { Incomplete, Complete, Malformed };

// Decodes a chunked body starting at `from`; returns the bytes consumed through the final CRLF, or -1
// when the body is not complete yet, or -2 when it is malformed.
qsizetype decodeChunked(const QByteArray& buffer, qsizetype from, QByteArray& body) {
    qsizetype at = from;
    for (;;) {
        const qsizetype lineEnd = buffer.indexOf("\r\n", at);
        if (lineEnd < 0)
            return -1;
        QByteArray sizeText = buffer.mid(at, lineEnd - at);
        if (const qsizetype semicolon = sizeText.indexOf(';'); semicolon >= 0)
            sizeText.truncate(semicolon);
        bool ok = false;
        const qsizetype size = sizeText.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0)
            return -2;
        at = lineEnd + 2;
        if (size == 0) {
            // Trailer lines, then an empty line.
            for (;;) {
                const qsizetype trailerEnd = buffer.indexOf("\r\n", at);
                if (trailerEnd < 0)
                    return -1;
                const bool empty = trailerEnd == at;
                at = trailerEnd + 2;
                if (empty)
                    return at - from;
            }
        }
        if (buffer.size() < at + size + 2)
            return -1;
        body += buffer.mid(at, size);
        at += size + 2;
    }
}

Parse parseRequest(QByteArray& buffer, RecordedRequest& request) {
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return buffer.size() > 1024 * 1024 ? Parse::Malformed : Parse::Incomplete;

    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/"))
        return Parse::Malformed;

    RecordedRequest parsed;
    parsed.method = requestLine.at(0);
    parsed.target = requestLine.at(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).endsWith('\r') ? lines.at(i).chopped(1) : lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return Parse::Malformed;
        parsed.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    const qsizetype bodyStart = headerEnd + 4;
    qsizetype consumed = bodyStart;
    if (parsed.header("Transfer-Encoding").toLower().contains("chunked")) {
        const qsizetype used = decodeChunked(buffer, bodyStart, parsed.body);
        if (used == -1)
            return Parse::Incomplete;
        if (used < 0)
            return Parse::Malformed;
        consumed += used;
    } else if (parsed.hasHeader("Content-Length")) {
        bool ok = false;
        const qsizetype length = parsed.header("Content-Length").toLongLong(&ok);
        if (!ok || length < 0)
            return Parse::Malformed;
        if (buffer.size() < bodyStart + length)
            return Parse::Incomplete;
        parsed.body = buffer.mid(bodyStart, length);
        consumed += length;
    }

    const QUrl targetUrl = QUrl::fromEncoded("http://fixture" + parsed.target);
    parsed.path = targetUrl.path(QUrl::FullyDecoded);
    parsed.query = QUrlQuery(targetUrl);
    buffer.remove(0, consumed);
    request = parsed;
    return Parse::Complete;
}

} // namespace

QByteArray RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool RecordedRequest::hasHeader(const QByteArray& name) const {
    for (const auto& entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QList<QByteArray> RecordedRequest::headerNames() const {
    QList<QByteArray> names;
    for (const auto& entry : headers)
        names.append(entry.first.toLower());
    return names;
}

HttpFixtureReply HttpFixtureReply::json(int status, const QJsonObject& object) {
    return json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

HttpFixtureReply HttpFixtureReply::json(int status, const QByteArray& jsonText) {
    return text(status, jsonText, "application/json");
}

HttpFixtureReply HttpFixtureReply::text(int status, const QByteArray& body, const QByteArray& contentType) {
    HttpFixtureReply reply;
    reply.status = status;
    reply.body = body;
    if (!contentType.isEmpty())
        reply.headers.append({"Content-Type", contentType});
    return reply;
}

HttpFixtureReply HttpFixtureReply::neverAnswer() {
    HttpFixtureReply reply;
    reply.kind = Kind::NeverAnswer;
    return reply;
}

HttpFixtureReply HttpFixtureReply::dropConnection() {
    HttpFixtureReply reply;
    reply.kind = Kind::DropConnection;
    return reply;
}

HttpFixtureReply HttpFixtureReply::raw(const QByteArray& bytes) {
    HttpFixtureReply reply;
    reply.kind = Kind::Raw;
    reply.body = bytes;
    return reply;
}

HttpFixtureReply HttpFixtureReply::after(std::chrono::milliseconds wait) const {
    HttpFixtureReply copy = *this;
    copy.delay = wait;
    return copy;
}

struct HttpFixture::Connection {
    int id = 0;
    QByteArray buffer;
    bool busy = false; // a request is waiting for its answer; later ones wait in the buffer
};

HttpFixture::HttpFixture(QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this)) {
    defaultReply.status = 404;
    connect(server, &QTcpServer::newConnection, this, &HttpFixture::accept);
    server->listen(QHostAddress::LocalHost, 0);
}

HttpFixture::~HttpFixture() {
    server->close();
    const auto sockets = connections.keys();
    for (QTcpSocket* socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

bool HttpFixture::isListening() const {
    return server->isListening();
}

quint16 HttpFixture::port() const {
    return server->serverPort();
}

QUrl HttpFixture::url(const QString& path) const {
    if (!isListening())
        return {};
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void HttpFixture::enqueue(const QString& path, const HttpFixtureReply& reply) {
    pathReplies[path].push_back(reply);
}

void HttpFixture::enqueue(const HttpFixtureReply& reply) {
    anyReplies.push_back(reply);
}

void HttpFixture::setHandler(Handler newHandler) {
    handler = std::move(newHandler);
}

void HttpFixture::setDefaultReply(const HttpFixtureReply& reply) {
    defaultReply = reply;
}

QList<RecordedRequest> HttpFixture::requests(const QString& path) const {
    QList<RecordedRequest> matching;
    for (const RecordedRequest& request : recorded) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

bool HttpFixture::waitForRequests(int count, std::chrono::milliseconds timeout) {
    return QTest::qWaitFor([&] { return requestCount() >= count; }, int(timeout.count()));
}

void HttpFixture::clear() {
    recorded.clear();
    pathReplies.clear();
    anyReplies.clear();
}

void HttpFixture::accept() {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        auto connection = std::make_shared<Connection>();
        connection->id = ++connectionsAccepted;
        connections.insert(socket, connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            connections.remove(socket);
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void HttpFixture::readFrom(QTcpSocket* socket) {
    const auto found = connections.find(socket);
    if (found == connections.end())
        return;
    const std::shared_ptr<Connection> connection = found.value();
    connection->buffer += socket->readAll();
    while (!connection->busy) {
        RecordedRequest request;
        const Parse outcome = parseRequest(connection->buffer, request);
        if (outcome == Parse::Incomplete)
            return;
        if (outcome == Parse::Malformed) {
            send(socket, HttpFixtureReply::text(400, "malformed request"), true);
            return;
        }
        request.arrivedAt = std::chrono::steady_clock::now();
        request.connection = connection->id;
        recorded.append(request);
        connection->busy = true;
        Q_EMIT requestReceived(request);
        answer(socket, request);
    }
}

HttpFixtureReply HttpFixture::replyFor(const RecordedRequest& request) {
    if (auto queue = pathReplies.find(request.path); queue != pathReplies.end() && !queue->empty()) {
        HttpFixtureReply reply = queue->front();
        queue->pop_front();
        return reply;
    }
    if (!anyReplies.empty()) {
        HttpFixtureReply reply = anyReplies.front();
        anyReplies.pop_front();
        return reply;
    }
    if (handler)
        return handler(request);
    return defaultReply;
}

void HttpFixture::answer(QTcpSocket* socket, const RecordedRequest& request) {
    const HttpFixtureReply reply = replyFor(request);
    if (reply.kind == HttpFixtureReply::Kind::NeverAnswer)
        return; // stays busy: nothing more is read or sent on this connection
    const bool closeAfter = request.header("Connection").toLower() == "close";
    QPointer<QTcpSocket> target(socket);
    auto deliver = [this, target, reply, closeAfter] {
        if (!target || !connections.contains(target.data()))
            return;
        send(target.data(), reply, closeAfter);
    };
    if (reply.delay.count() > 0)
        QTimer::singleShot(reply.delay, this, deliver);
    else
        deliver();
}

void HttpFixture::send(QTcpSocket* socket, const HttpFixtureReply& reply, bool closeAfter) {
    switch (reply.kind) {
    case HttpFixtureReply::Kind::NeverAnswer:
        return;
    case HttpFixtureReply::Kind::DropConnection:
        socket->abort();
        return;
    case HttpFixtureReply::Kind::Raw:
        socket->write(reply.body);
        socket->disconnectFromHost();
        return;
    case HttpFixtureReply::Kind::Respond:
        break;
    }

    QByteArray bytes =
        "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    for (const auto& [name, value] : reply.headers)
        bytes += name + ": " + value + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    if (closeAfter)
        bytes += "Connection: close\r\n";
    bytes += "\r\n" + reply.body;
    socket->write(bytes);
    if (closeAfter) {
        socket->disconnectFromHost();
        return;
    }
    if (const auto found = connections.find(socket); found != connections.end()) {
        found.value()->busy = false;
        if (!found.value()->buffer.isEmpty()) {
            // A request that arrived while this one waited for its answer.
            QMetaObject::invokeMethod(
                this,
                [this, target = QPointer<QTcpSocket>(socket)] {
                    if (target)
                        readFrom(target);
                },
                Qt::QueuedConnection);
        }
    }
}
