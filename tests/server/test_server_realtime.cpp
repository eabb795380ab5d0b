// The realtime proxy of voxlet-backend: a real WebSocket client on loopback, speech made by espeak-ng.
#include "JsonWebToken.h"
#include "ServerFixture.h"
#include "ServerLog.h"
#include "realtime/RealtimeProtocol.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtTest>

namespace {

QByteArray accessToken(const QJsonObject& session) {
    return session.value(QStringLiteral("access_token")).toString().toLatin1();
}

// A connected client that keeps every event it receives, decoded.
class Client {
public:
    explicit Client(const QUrl& url, const QByteArray& headerToken = {}) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            if (auto m = RealtimeProtocol::decodeServerMessage(text))
                messages.append(*m);
        });
        QNetworkRequest request(url);
        if (!headerToken.isEmpty()) {
            request.setRawHeader("Authorization", "Bearer " + headerToken);
            request.setRawHeader("X-Voxlet-Authorization", "Bearer " + headerToken);
        }
        socket.open(request);
    }
    ~Client() { socket.abort(); }

    bool waitForType(const QString& type, qsizetype from = 0, int timeoutMs = 20000) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            for (qsizetype i = from; i < messages.size(); ++i)
                if (messages[i].type == type)
                    return true;
            QTest::qWait(10);
        }
        return false;
    }
    QStringList texts(const QString& type) const {
        QStringList out;
        for (const auto& m : messages)
            if (m.type == type)
                out.append(m.text.value_or(QString()));
        return out;
    }
    void sendAudio(const QByteArray& pcm, int chunkBytes = 3200) {
        for (qsizetype i = 0; i < pcm.size(); i += chunkBytes)
            socket.sendTextMessage(RealtimeProtocol::encodeAudioChunk(pcm.mid(i, chunkBytes)));
    }

    QWebSocket socket;
    QList<RealtimeProtocol::ServerMessage> messages;
};

} // namespace

class ServerRealtimeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        setServerLogToStandardOutput(false);
        m_backend = std::make_unique<TestBackend>([](BackendConfig& c) {
            c.maxWebSocketMessageBytes = 256 * 1024;
            c.maxChunkAudioBytes = 64 * 1024;
        });
        QString error;
        QVERIFY2(m_backend->start(&error), qPrintable(error));
        m_token = accessToken(m_backend->signIn(QStringLiteral("live@example.com")));
        QVERIFY(!m_token.isEmpty());
    }
    void cleanupTestCase() { m_backend.reset(); }

    void upgradeWithoutAValidTokenIsRefused_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no token") << "none";
        QTest::newRow("garbage") << "garbage";
        QTest::newRow("foreign signature") << "foreign";
        QTest::newRow("expired") << "expired";
    }
    void upgradeWithoutAValidTokenIsRefused() {
        QFETCH(QString, kind);
        const qint64 now = m_backend->clock().currentDateTime().toSecsSinceEpoch();
        QJsonObject claims =
            JsonWebToken::verify(m_token, TestBackend::tokenSecret, now).claims.value_or(QJsonObject());
        QByteArray token;
        if (kind == QLatin1String("garbage"))
            token = "abc";
        else if (kind == QLatin1String("foreign"))
            token = JsonWebToken::sign(claims, "another-secret");
        else if (kind == QLatin1String("expired")) {
            claims.insert(QStringLiteral("exp"), now - 10);
            token = JsonWebToken::sign(claims, TestBackend::tokenSecret);
        }
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, m_backend->server().port());
        QVERIFY(raw.waitForConnected(5000));
        QByteArray path = "/ai/realtime?no_verbatim=true";
        if (!token.isEmpty())
            path += "&access_token=" + token;
        raw.write("GET " + path +
                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                  "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += raw.readAll()).contains("\r\n\r\n"), 5000);
        QVERIFY2(answer.startsWith("HTTP/1.1 401"), answer.left(60).constData());
        QTRY_COMPARE_WITH_TIMEOUT(raw.state(), QAbstractSocket::UnconnectedState, 5000);

        // And through a WebSocket client: no session ever starts.
        QUrl url = m_backend->url(QStringLiteral("/ai/realtime"));
        url.setScheme(QStringLiteral("ws"));
        Client client(url, token);
        QTRY_VERIFY_WITH_TIMEOUT(client.socket.state() == QAbstractSocket::UnconnectedState ||
                                     client.socket.error() != QAbstractSocket::UnknownSocketError,
                                 5000);
        QVERIFY(client.messages.isEmpty());
    }

    void tokenFromQueryOrHeaders_data() {
        QTest::addColumn<bool>("inQuery");
        QTest::addColumn<bool>("inHeaders");
        QTest::newRow("query") << true << false;
        QTest::newRow("headers") << false << true;
        QTest::newRow("both") << true << true;
    }
    void tokenFromQueryOrHeaders() {
        QFETCH(bool, inQuery);
        QFETCH(bool, inHeaders);
        const QUrl url = inQuery ? endpoint() : wsUrl();
        Client client(url, inHeaders ? m_token : QByteArray());
        QVERIFY(client.waitForType(QStringLiteral("session_started")));
        const auto& started = client.messages.first();
        QCOMPARE(started.config.toObject().value(QStringLiteral("sample_rate")).toInt(), 16000);
    }

    void speechIsCommittedByVoiceActivityAndByCommit() {
        const QStringList sentences = SpeechFixtures::sentences();
        const QByteArray first = SpeechFixtures::pcm16k(
            SpeechFixtures::speak(sentences[1], m_backend->workDir()), m_backend->workDir());
        const QByteArray second = SpeechFixtures::pcm16k(
            SpeechFixtures::speak(sentences[3], m_backend->workDir()), m_backend->workDir());
        if (first.isEmpty() || second.isEmpty())
            QSKIP("espeak-ng or sox is not available");
        Client client(endpoint(), m_token);
        QVERIFY(client.waitForType(QStringLiteral("session_started")));

        client.sendAudio(SpeechFixtures::silence16k(300) + first + SpeechFixtures::silence16k(1200));
        QVERIFY2(client.waitForType(QStringLiteral("committed_transcript")),
                 "voice activity did not end the segment");
        QCOMPARE(client.texts(QStringLiteral("committed_transcript")), QStringList{sentences[1]});
        QVERIFY(!client.texts(QStringLiteral("partial_transcript")).isEmpty());

        const qsizetype mark = client.messages.size();
        client.sendAudio(SpeechFixtures::silence16k(300) + second);
        client.socket.sendTextMessage(RealtimeProtocol::encodeCommit());
        QVERIFY(client.waitForType(QStringLiteral("committed_transcript"), mark));
        QCOMPARE(client.texts(QStringLiteral("committed_transcript")),
                 (QStringList{sentences[1], sentences[3]}));
    }

    void anEmptyCommitIsStillAnswered() {
        Client client(endpoint(), m_token);
        QVERIFY(client.waitForType(QStringLiteral("session_started")));
        client.socket.sendTextMessage(RealtimeProtocol::encodeCommit());
        QVERIFY(client.waitForType(QStringLiteral("committed_transcript")));
        QCOMPARE(client.texts(QStringLiteral("committed_transcript")), QStringList{QString()});
    }

    void badInputIsAnsweredAndTheConnectionStaysUsable_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("errorType");
        const QString tooBig =
            RealtimeProtocol::encodeAudioChunk(QByteArray(200 * 1024, '\1')); // Base64 > 256 KiB
        const QString bigChunk = RealtimeProtocol::encodeAudioChunk(QByteArray(100 * 1024, '\1'));
        QTest::newRow("not JSON") << "{\"message_type\":"
                                  << "input_error";
        QTest::newRow("not an object") << "[1,2,3]"
                                       << "input_error";
        QTest::newRow("wrong message type") << R"({"message_type":"hello","audio_base_64":"","commit":false})"
                                            << "input_error";
        QTest::newRow("bad Base64")
            << R"({"message_type":"input_audio_chunk","audio_base_64":"@@@","commit":false})"
            << "input_error";
        QTest::newRow("half a sample")
            << R"({"message_type":"input_audio_chunk","audio_base_64":"AAAA","commit":false})"
            << "input_error";
        QTest::newRow("commit not a boolean")
            << R"({"message_type":"input_audio_chunk","audio_base_64":"","commit":"yes"})"
            << "input_error";
        QTest::newRow("odd sample rate")
            << R"({"message_type":"input_audio_chunk","audio_base_64":"AAAA","commit":false,"sample_rate":123})"
            << "input_error";
        QTest::newRow("message too large") << tooBig << "chunk_size_exceeded";
        QTest::newRow("chunk too large") << bigChunk << "chunk_size_exceeded";
    }
    void badInputIsAnsweredAndTheConnectionStaysUsable() {
        QFETCH(QString, message);
        QFETCH(QString, errorType);
        Client client(endpoint(), m_token);
        QVERIFY(client.waitForType(QStringLiteral("session_started")));
        client.socket.sendTextMessage(message);
        QVERIFY(client.waitForType(errorType));
        for (const auto& m : client.messages)
            if (m.type == errorType)
                QVERIFY(!m.errorMessage.isEmpty());
        client.socket.sendTextMessage(RealtimeProtocol::encodeCommit());
        QVERIFY(client.waitForType(QStringLiteral("committed_transcript")));
        QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);
    }

    void binaryFramesCarryingJsonAreAccepted() {
        Client client(endpoint(), m_token);
        QVERIFY(client.waitForType(QStringLiteral("session_started")));
        client.socket.sendBinaryMessage(RealtimeProtocol::encodeCommit().toUtf8());
        QVERIFY(client.waitForType(QStringLiteral("committed_transcript")));
        client.socket.sendBinaryMessage(QByteArray("\xff\xfe\xfd", 3));
        QVERIFY(client.waitForType(QStringLiteral("input_error")));
    }

    void limitsOfAConnection() {
        TestBackend b([](BackendConfig& c) {
            c.maxSessionAudioSeconds = 1;
            c.webSocketIdleTimeoutMs = 400;
        });
        QString error;
        QVERIFY2(b.start(&error), qPrintable(error));
        const QByteArray token = accessToken(b.signIn(QStringLiteral("limits@example.com")));
        QUrl url = b.url(QStringLiteral("/ai/realtime"));
        url.setScheme(QStringLiteral("ws"));
        url.setQuery(QStringLiteral("access_token=") + QString::fromLatin1(token));
        Client client(url);
        QVERIFY(client.waitForType(QStringLiteral("session_started")));
        client.sendAudio(SpeechFixtures::silence16k(1500));
        QVERIFY(client.waitForType(QStringLiteral("session_time_limit_exceeded")));
        // Then silence from the client: the idle connection is closed.
        QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, 5000);
    }

private:
    QUrl wsUrl() const {
        QUrl url = m_backend->url(QStringLiteral("/ai/realtime"));
        url.setScheme(QStringLiteral("ws"));
        return url;
    }
    QUrl endpoint() const {
        QUrl url = wsUrl();
        url.setQuery(QStringLiteral("no_verbatim=true&access_token=") + QString::fromLatin1(m_token));
        return url;
    }

    std::unique_ptr<TestBackend> m_backend;
    QByteArray m_token;
};

QTEST_GUILESS_MAIN(ServerRealtimeTest)
#include "test_server_realtime.moc"
