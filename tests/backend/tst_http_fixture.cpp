#include "support/HttpFixture.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTest>

#include <memory>

// The fixture is the ground truth of the client tests, so what it records and how it answers is
// checked against a plain Qt client here.
class HttpFixtureTest : public QObject {
    Q_OBJECT

private:
    QNetworkAccessManager network;

    std::unique_ptr<QNetworkReply> post(const QUrl& url, const QByteArray& body) {
        QNetworkRequest request(url);
        request.setRawHeader("X-First", "1");
        request.setRawHeader("Content-Type", "application/json");
        request.setRawHeader("X-Second", "2");
        std::unique_ptr<QNetworkReply> reply(network.post(request, body));
        return reply;
    }

    static bool finish(QNetworkReply& reply, int timeoutMs = 10000) {
        return reply.isFinished() || QSignalSpy(&reply, &QNetworkReply::finished).wait(timeoutMs);
    }

private Q_SLOTS:
    void recordsTheRequestAndAnswersFromTheScript() {
        HttpFixture server;
        QVERIFY(server.isListening());
        server.enqueue("/api/ai/format", HttpFixtureReply::json(201, QJsonObject{{"text", "ok"}}));

        auto reply = post(server.url("/api/ai/format?mode=x&y=%C3%A7"), R"({"input":"a"})");
        QVERIFY(finish(*reply));

        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 201);
        QCOMPARE(reply->readAll(), QByteArray(R"({"text":"ok"})"));
        QCOMPARE(server.requestCount(), 1);
        const RecordedRequest request = server.requests().at(0);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QString("/api/ai/format"));
        QCOMPARE(request.query.queryItemValue("mode"), QString("x"));
        QCOMPARE(request.query.queryItemValue("y", QUrl::FullyDecoded), QString::fromUtf8("ç"));
        QCOMPARE(request.body, QByteArray(R"({"input":"a"})"));
        QCOMPARE(request.jsonBody().value("input").toString(), QString("a"));
        QCOMPARE(request.header("x-first"), QByteArray("1"));
        const QList<QByteArray> names = request.headerNames();
        QVERIFY(names.indexOf("x-first") < names.indexOf("content-type"));
        QVERIFY(names.indexOf("content-type") < names.indexOf("x-second"));
    }

    void choosesPathRepliesThenAnyThenHandlerThenDefault() {
        HttpFixture server;
        server.enqueue(HttpFixtureReply::text(202, "any"));
        server.enqueue("/b", HttpFixtureReply::text(203, "b"));

        const QList<QPair<QString, int>> expected = {{"/b", 203}, {"/a", 202}, {"/a", 404}, {"/a", 418}};
        for (int i = 0; i < expected.size(); ++i) {
            if (i == 3)
                server.setHandler(
                    [](const RecordedRequest& r) { return HttpFixtureReply::text(418, r.method); });
            auto reply = post(server.url(expected[i].first), "x");
            QVERIFY(finish(*reply));
            QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), expected[i].second);
        }
        QCOMPARE(server.requests("/a").size(), 3);
    }

    void delaysNeverAnswersDropsAndSpeaksNonsense() {
        HttpFixture server;
        server.enqueue("/late", HttpFixtureReply::text(200, "late").after(std::chrono::milliseconds(300)));
        server.enqueue("/never", HttpFixtureReply::neverAnswer());
        // Qt quietly sends a request again when a kept-alive connection closes before any answer,
        // so every request to this path is dropped.
        server.setHandler([](const RecordedRequest& request) {
            return request.path == "/drop" ? HttpFixtureReply::dropConnection()
                                           : HttpFixtureReply::text(404, "");
        });
        server.enqueue("/raw", HttpFixtureReply::raw("SMTP ready\r\n"));

        QElapsedTimer clock;
        clock.start();
        auto late = post(server.url("/late"), "");
        QVERIFY(finish(*late));
        QVERIFY(clock.elapsed() >= 300);
        QCOMPARE(late->readAll(), QByteArray("late"));

        QNetworkRequest neverRequest(server.url("/never"));
        neverRequest.setTransferTimeout(200);
        std::unique_ptr<QNetworkReply> never(network.get(neverRequest));
        QVERIFY(finish(*never));
        QCOMPARE(never->error(), QNetworkReply::OperationCanceledError);

        auto dropped = post(server.url("/drop"), "");
        QVERIFY(finish(*dropped));
        QVERIFY(dropped->error() != QNetworkReply::NoError);
        QVERIFY(!dropped->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());

        auto nonsense = post(server.url("/raw"), "");
        QVERIFY(finish(*nonsense));
        QVERIFY(!nonsense->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
        QCOMPARE(server.requests("/raw").size(), 1);
        QVERIFY(server.requests("/drop").size() >= 1);
    }
};

QTEST_GUILESS_MAIN(HttpFixtureTest)
#include "tst_http_fixture.moc"
