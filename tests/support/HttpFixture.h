#pragma once

// A scripted HTTP/1.1 server on 127.0.0.1 for tests of the program's HTTP clients.
//
//   HttpFixture server;                       // listens at once on a free port
//   server.enqueue("/ai/format", HttpFixtureReply::json(503, QByteArray("{}")));
//   server.enqueue("/ai/format", HttpFixtureReply::json(200, QJsonObject{{"text", "Hi"}}));
//   QUrl base = server.url("/api/");          // http://127.0.0.1:<port>/api/
//   ... run the client ...
//   QVERIFY(server.waitForRequests(2));
//   RecordedRequest first = server.requests().at(0);
//
// Every request is recorded, in order of arrival, whatever the answer. Answers are chosen per request:
// the next reply queued for the request's path, else the next reply queued for any path, else the
// handler, else the default reply (404, empty body). A reply can be delayed, never sent (the connection
// stays open until the client gives up or the fixture is destroyed), replaced by dropping the
// connection, or replaced by raw bytes that are not HTTP at all.
//
// Note for drop tests: Qt's HTTP client sends a request again, unseen by its caller, when a kept-alive
// connection closes before any byte of the answer. A client attempt can therefore arrive more than
// once; use a handler that drops every request to the path when the client must see the error.
//
// The fixture lives on the thread that creates it and serves from that thread's event loop, so the
// test must let the loop run (co_await, QTest::qWaitFor, waitForRequests) while a client talks to it.

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;

using HttpHeaderList = QList<QPair<QByteArray, QByteArray>>;

struct RecordedRequest {
    QByteArray method;      // "GET", "POST", ...
    QByteArray target;      // the request target as sent, e.g. "/api/ai/format?x=1"
    QString path;           // the target's path, percent-decoded, e.g. "/api/ai/format"
    QUrlQuery query;        // the target's query items
    HttpHeaderList headers; // every header line in the order sent, names as spelled by the client
    QByteArray body;        // after Content-Length or chunked decoding
    // When the last byte of the request arrived (steady clock, same epoch as Scheduler::shared()).
    std::chrono::steady_clock::time_point arrivedAt;
    int connection = 0; // 1 for the first TCP connection accepted, 2 for the next, ...

    // First value of a header, matched case-insensitively; empty when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    // Header names in order, lower-cased.
    QList<QByteArray> headerNames() const;
    QJsonObject jsonBody() const { return QJsonDocument::fromJson(body).object(); }
};

struct HttpFixtureReply {
    enum class Kind {
        Respond,        // status line, headers, Content-Length, body
        NeverAnswer,    // read the request, send nothing, keep the connection open
        DropConnection, // read the request, then abort the connection without a byte
        Raw,            // send `body` as it is, then close the connection
    };

    Kind kind = Kind::Respond;
    int status = 200;
    HttpHeaderList headers; // sent as given; Content-Length is added by the fixture
    QByteArray body;
    std::chrono::milliseconds delay{0}; // real time between the request's arrival and the answer

    static HttpFixtureReply json(int status, const QJsonObject& object);
    static HttpFixtureReply json(int status, const QByteArray& jsonText);
    static HttpFixtureReply text(int status, const QByteArray& body,
                                 const QByteArray& contentType = "text/plain");
    static HttpFixtureReply neverAnswer();
    static HttpFixtureReply dropConnection();
    static HttpFixtureReply raw(const QByteArray& bytes);
    HttpFixtureReply after(std::chrono::milliseconds wait) const;
};

class HttpFixture : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<HttpFixtureReply(const RecordedRequest&)>;

    explicit HttpFixture(QObject* parent = nullptr);
    ~HttpFixture() override;

    // False when no port could be opened (then every url() is invalid).
    bool isListening() const;
    quint16 port() const;
    // http://127.0.0.1:<port> followed by `path` (which should begin with "/").
    QUrl url(const QString& path = QStringLiteral("/")) const;

    // Queues a reply for the next request whose path equals `path` exactly (e.g. "/ai/format").
    void enqueue(const QString& path, const HttpFixtureReply& reply);
    // Queues a reply for the next request of any path without a reply of its own.
    void enqueue(const HttpFixtureReply& reply);
    // Answers requests that find no queued reply.
    void setHandler(Handler handler);
    // The answer when there is neither a queued reply nor a handler; 404 with an empty body at first.
    void setDefaultReply(const HttpFixtureReply& reply);

    QList<RecordedRequest> requests() const { return recorded; }
    QList<RecordedRequest> requests(const QString& path) const;
    int requestCount() const { return int(recorded.size()); }
    int connectionCount() const { return connectionsAccepted; }
    // Runs the event loop until `count` requests have arrived in all; false on time-out.
    bool waitForRequests(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Forgets the recorded requests and the queued replies (handler and default reply stay).
    void clear();

Q_SIGNALS:
    void requestReceived(const RecordedRequest& request);

private:
    struct Connection;

    void accept();
    void readFrom(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const RecordedRequest& request);
    void send(QTcpSocket* socket, const HttpFixtureReply& reply, bool closeAfter);
    HttpFixtureReply replyFor(const RecordedRequest& request);

    QTcpServer* server = nullptr;
    QHash<QTcpSocket*, std::shared_ptr<Connection>> connections;
    QHash<QString, std::deque<HttpFixtureReply>> pathReplies;
    std::deque<HttpFixtureReply> anyReplies;
    Handler handler;
    HttpFixtureReply defaultReply;
    QList<RecordedRequest> recorded;
    int connectionsAccepted = 0;
};
