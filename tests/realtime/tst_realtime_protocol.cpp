#include "realtime/RealtimeProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace RealtimeProtocol;
using Kind = ServerMessage::Kind;

Q_DECLARE_METATYPE(ServerMessage::Kind)

class RealtimeProtocolTest : public QObject {
    Q_OBJECT

private:
    static QJsonObject parse(const QString& text) {
        QJsonParseError error{};
        const auto document = QJsonDocument::fromJson(text.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            qFatal("not a JSON object: %s", qPrintable(text));
        return document.object();
    }

private Q_SLOTS:
    void endpoint_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("expected");

        QTest::newRow("https with /api/")
            << "https://api.example.com/api/"
            << "tok"
            << "wss://api.example.com/api/ai/realtime?no_verbatim=true&access_token=tok";
        QTest::newRow("http gives ws") << "http://127.0.0.1:8787"
                                       << "t"
                                       << "ws://127.0.0.1:8787/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("wss gives ws") << "wss://h/"
                                      << "t"
                                      << "ws://h/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("HTTPS upper case is https") << "HTTPS://h"
                                                   << "t"
                                                   << "wss://h/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("no scheme gives ws") << "//h/x"
                                            << "t"
                                            << "ws://h/x/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("single slash path") << "https://h/"
                                           << "t"
                                           << "wss://h/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("doubled slashes stripped")
            << "https://h//api//"
            << "t"
            << "wss://h/api/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("inner slashes kept") << "https://h/a/b/"
                                            << "t"
                                            << "wss://h/a/b/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("encoded path kept") << "https://h/a%20b/"
                                           << "t"
                                           << "wss://h/a%20b/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("existing no_verbatim kept") << "https://h/?no_verbatim=false"
                                                   << "t"
                                                   << "wss://h/ai/realtime?no_verbatim=false&access_token=t";
        QTest::newRow("query order kept, token last")
            << "https://h/api?b=2&a=1&access_token=old"
            << "t"
            << "wss://h/api/ai/realtime?b=2&a=1&access_token=old&no_verbatim=true&access_token=t";
        QTest::newRow("fragment removed, port and user kept")
            << "https://me:pw@h:9443/api#frag"
            << "t"
            << "wss://me:pw@h:9443/api/ai/realtime?no_verbatim=true&access_token=t";
        QTest::newRow("token percent-encoded")
            << "http://h"
            << "a+b/c=d&e%f g"
            << "ws://h/ai/realtime?no_verbatim=true&access_token=a%2Bb%2Fc%3Dd%26e%25f%20g";
    }

    void endpoint() {
        QFETCH(QString, base);
        QFETCH(QString, token);
        QFETCH(QString, expected);

        const auto url = endpointURL(QUrl(base), token);
        QVERIFY(url.has_value());
        QCOMPARE(url->toString(QUrl::FullyEncoded), expected);
        if (!base.contains(QLatin1String("access_token")))
            QCOMPARE(accessTokenOfEndpoint(*url), std::optional<QString>(token));
    }

    void endpointNeedsAUsableBase_data() {
        QTest::addColumn<QUrl>("base");
        QTest::newRow("empty") << QUrl();
        QTest::newRow("unparsable") << QUrl(QStringLiteral("http://[::1"));
    }

    void endpointNeedsAUsableBase() {
        QFETCH(QUrl, base);
        QVERIFY(!endpointURL(base, QStringLiteral("t")).has_value());
        QVERIFY(!openingRequest(base, QStringLiteral("t")).has_value());
    }

    void openingRequestCarriesTheTokenThreeTimes() {
        const auto request =
            openingRequest(QUrl(QStringLiteral("https://h/api/")), QStringLiteral("abc.def"));
        QVERIFY(request.has_value());
        QCOMPARE(request->url.toString(),
                 QStringLiteral("wss://h/api/ai/realtime?no_verbatim=true&access_token=abc.def"));
        const QList<std::pair<QByteArray, QByteArray>> expected = {
            {"Authorization", "Bearer abc.def"}, {"X-Voxlet-Authorization", "Bearer abc.def"}};
        QCOMPARE(request->headers, expected);
        QCOMPARE(request->timeout, std::chrono::milliseconds(30000));
        for (const auto& header : request->headers)
            QCOMPARE(bearerToken(header.second), std::optional<QString>(QStringLiteral("abc.def")));
    }

    void outgoingMessages_data() {
        QTest::addColumn<QByteArray>("pcm");
        QTest::addColumn<bool>("commit");
        QTest::newRow("audio") << QByteArray("\x01\x00\xff\x7f\x00\x80", 6) << false;
        QTest::newRow("odd bytes") << QByteArray("\x01\x02\x03", 3) << false;
        QTest::newRow("commit") << QByteArray() << true;
    }

    void outgoingMessages() {
        QFETCH(QByteArray, pcm);
        QFETCH(bool, commit);

        const QString text = commit ? encodeCommit() : encodeAudioChunk(pcm);
        const QJsonObject object = parse(text);
        QCOMPARE(object.size(), 4);
        QCOMPARE(object.value("message_type").toString(), QStringLiteral("input_audio_chunk"));
        QVERIFY(object.value("audio_base_64").isString()); // the commit's empty audio is "", never null
        QCOMPARE(object.value("audio_base_64").toString(), QString::fromLatin1(pcm.toBase64()));
        QVERIFY(object.value("commit").isBool());
        QCOMPARE(object.value("commit").toBool(), commit);
        QVERIFY(object.value("sample_rate").isDouble());
        QCOMPARE(object.value("sample_rate").toInt(), 16000);
        QVERIFY(!text.contains(u'\n'));

        const auto decoded = decodeClientMessage(text);
        QVERIFY2(decoded.message.has_value(), qPrintable(decoded.error));
        QCOMPARE(decoded.message->audio, pcm);
        QCOMPARE(decoded.message->commit, commit);
        QCOMPARE(decoded.message->sampleRate, std::optional<double>(16000));
    }

    void incomingMessages_data() {
        QTest::addColumn<QString>("json");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("text"); // "<none>" when there is no string text
        QTest::addColumn<QString>("error");

        const QString none = QStringLiteral("<none>");
        QTest::newRow("session_started") << R"({"message_type":"session_started","config":{}})"
                                         << Kind::SessionStarted << "session_started" << none << "";
        QTest::newRow("type fallback") << R"({"type":"partial_transcript","text":"hel"})"
                                       << Kind::PartialTranscript << "partial_transcript"
                                       << "hel"
                                       << "";
        QTest::newRow("numeric message_type falls back to type")
            << R"({"message_type":7,"type":"session_started"})" << Kind::SessionStarted << "session_started"
            << none << "";
        QTest::newRow("message_type wins over type")
            << R"({"message_type":"committed_transcript","type":"error","text":"a"})"
            << Kind::CommittedTranscript << "committed_transcript"
            << "a"
            << "";
        QTest::newRow("with timestamps")
            << R"({"message_type":"committed_transcript_with_timestamps","text":"b","words":[]})"
            << Kind::CommittedTranscript << "committed_transcript_with_timestamps"
            << "b"
            << "";
        QTest::newRow("text not a string")
            << R"({"message_type":"committed_transcript","text":5})" << Kind::CommittedTranscript
            << "committed_transcript" << none << "";
        QTest::newRow("input_audio_buffer") << R"({"message_type":"input_audio_buffer"})"
                                            << Kind::InputAudioBuffer << "input_audio_buffer" << none << "";
        QTest::newRow("named error with message")
            << R"({"message_type":"insufficient_audio_activity","error":"too quiet"})" << Kind::Error
            << "insufficient_audio_activity" << none << "too quiet";
        QTest::newRow("error without message") << R"({"message_type":"quota_exceeded"})" << Kind::Error
                                               << "quota_exceeded" << none << "Unknown realtime error";
        QTest::newRow("error member not a string") << R"({"type":"error","error":{"code":1}})" << Kind::Error
                                                   << "error" << none << "Unknown realtime error";
        QTest::newRow("unlisted type ending in error") << R"({"message_type":"vendor_error","error":"x"})"
                                                       << Kind::Error << "vendor_error" << none << "x";
        QTest::newRow("error inside a word is not an error")
            << R"({"message_type":"errors_seen"})" << Kind::Other << "errors_seen" << none << "";
        QTest::newRow("no type at all") << R"({"text":"x"})" << Kind::Other << ""
                                        << "x"
                                        << "";
        QTest::newRow("other type") << R"({"message_type":"ping"})" << Kind::Other << "ping" << none << "";
    }

    void incomingMessages() {
        QFETCH(QString, json);
        QFETCH(Kind, kind);
        QFETCH(QString, type);
        QFETCH(QString, text);
        QFETCH(QString, error);

        const auto message = decodeServerMessage(json);
        QVERIFY(message.has_value());
        QCOMPARE(message->kind, kind);
        QCOMPARE(message->type, type);
        QCOMPARE(message->text.value_or(QStringLiteral("<none>")), text);
        QCOMPARE(message->errorMessage, error);
    }

    void everyNamedErrorTypeIsAnError() {
        const char* named[] = {"error",
                               "auth_error",
                               "quota_exceeded",
                               "rate_limited",
                               "commit_throttled",
                               "queue_overflow",
                               "resource_exhausted",
                               "session_time_limit_exceeded",
                               "chunk_size_exceeded",
                               "insufficient_audio_activity",
                               "input_error",
                               "transcriber_error",
                               "unaccepted_terms"};
        for (const char* type : named)
            QVERIFY2(isErrorType(QString::fromLatin1(type)), type);
        QVERIFY(!isErrorType(QStringLiteral("session_started")));
        QVERIFY(!isErrorType(QStringLiteral("")));
    }

    void notAMessage_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("not JSON") << "hello";
        QTest::newRow("array") << R"([{"message_type":"session_started"}])";
        QTest::newRow("string") << R"("session_started")";
        QTest::newRow("empty") << "";
    }

    void notAMessage() {
        QFETCH(QString, text);
        QVERIFY(!decodeServerMessage(text).has_value());
    }

    void configDescription_data() {
        QTest::addColumn<QString>("json");
        QTest::addColumn<QString>("description");
        QTest::newRow("absent") << R"({"message_type":"session_started"})"
                                << "nil";
        QTest::newRow("object") << R"({"message_type":"session_started","config":{"sample_rate":16000}})"
                                << R"({"sample_rate":16000})";
        QTest::newRow("string") << R"({"message_type":"session_started","config":"plain"})"
                                << "plain";
        QTest::newRow("number") << R"({"message_type":"session_started","config":1.5})"
                                << "1.5";
        QTest::newRow("null") << R"({"message_type":"session_started","config":null})"
                              << "null";
    }

    void configDescription() {
        QFETCH(QString, json);
        QFETCH(QString, description);
        QCOMPARE(decodeServerMessage(json)->configDescription(), description);
    }

    void binaryFramesMustBeUtf8() {
        QCOMPARE(textOfBinaryFrame(QByteArray("{\"text\":\"caf\xc3\xa9\"}")),
                 std::optional<QString>(QString::fromUtf8("{\"text\":\"caf\xc3\xa9\"}")));
        QVERIFY(!textOfBinaryFrame(QByteArray("{\"text\":\"\xff\xfe\"}")).has_value());
        QVERIFY(!textOfBinaryFrame(QByteArray("\xc3", 1)).has_value());
    }

    void refusedClientMessages_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not JSON") << "{"
                                  << "not JSON";
        QTest::newRow("not an object") << "[]"
                                       << "not a JSON object";
        QTest::newRow("wrong type") << R"({"message_type":"commit","audio_base_64":""})"
                                    << "message_type";
        QTest::newRow("audio null") << R"({"message_type":"input_audio_chunk","audio_base_64":null})"
                                    << "audio_base_64 is not a string";
        QTest::newRow("audio missing") << R"({"message_type":"input_audio_chunk","commit":true})"
                                       << "audio_base_64 is not a string";
        QTest::newRow("bad base64") << R"({"message_type":"input_audio_chunk","audio_base_64":"**=="})"
                                    << "not valid Base64";
        QTest::newRow("commit a string")
            << R"({"message_type":"input_audio_chunk","audio_base_64":"","commit":"true"})"
            << "commit";
        QTest::newRow("rate a string")
            << R"({"message_type":"input_audio_chunk","audio_base_64":"","sample_rate":"16000"})"
            << "sample_rate";
    }

    void refusedClientMessages() {
        QFETCH(QString, text);
        QFETCH(QString, reason);
        const auto decoded = decodeClientMessage(text);
        QVERIFY(!decoded.message.has_value());
        QVERIFY2(decoded.error.contains(reason), qPrintable(decoded.error));
    }

    void clientMessageDefaults() {
        const auto decoded =
            decodeClientMessage(R"({"message_type":"input_audio_chunk","audio_base_64":"AQI="})");
        QVERIFY(decoded.message.has_value());
        QCOMPARE(decoded.message->audio, QByteArray("\x01\x02"));
        QCOMPARE(decoded.message->commit, false);
        QVERIFY(!decoded.message->sampleRate.has_value());
    }

    void bearerTokens_data() {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("token"); // empty = none
        QTest::newRow("bearer") << QByteArray("Bearer x.y") << "x.y";
        QTest::newRow("no token") << QByteArray("Bearer ") << "";
        QTest::newRow("other scheme") << QByteArray("Basic abc") << "";
        QTest::newRow("empty") << QByteArray() << "";
    }

    void bearerTokens() {
        QFETCH(QByteArray, header);
        QFETCH(QString, token);
        QCOMPARE(bearerToken(header).value_or(QString()), token);
    }

    void serverEventsDecodeOnTheClient() {
        auto started = decodeServerMessage(encodeSessionStarted({{"sample_rate", 16000}}));
        QCOMPARE(started->kind, Kind::SessionStarted);
        QCOMPARE(started->configDescription(), QStringLiteral(R"({"sample_rate":16000})"));

        auto partial = decodeServerMessage(encodePartialTranscript(QStringLiteral("he said \"hi\"\n")));
        QCOMPARE(partial->kind, Kind::PartialTranscript);
        QCOMPARE(partial->text, std::optional<QString>(QStringLiteral("he said \"hi\"\n")));

        for (bool timestamps : {false, true}) {
            auto committed =
                decodeServerMessage(encodeCommittedTranscript(QStringLiteral("Olá."), timestamps));
            QCOMPARE(committed->kind, Kind::CommittedTranscript);
            QCOMPARE(committed->text, std::optional<QString>(QStringLiteral("Olá.")));
        }

        QCOMPARE(decodeServerMessage(encodeInputAudioBuffer())->kind, Kind::InputAudioBuffer);

        auto error =
            decodeServerMessage(encodeError(QStringLiteral("rate_limited"), QStringLiteral("slow down")));
        QCOMPARE(error->kind, Kind::Error);
        QCOMPARE(error->type, QStringLiteral("rate_limited"));
        QCOMPARE(error->errorMessage, QStringLiteral("slow down"));
    }
};

QTEST_GUILESS_MAIN(RealtimeProtocolTest)
#include "tst_realtime_protocol.moc"
