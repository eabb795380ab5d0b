// The sign-in service and the backend exchanges of voxlet-backend, over real HTTP on loopback.
#include "JsonWebToken.h"
#include "ServerFixture.h"
#include "ServerLog.h"
#include "dictation/AIFormatPreset.h"

#include <QDataStream>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

using Headers = QList<QPair<QByteArray, QByteArray>>;

QByteArray accessToken(const QJsonObject& session) {
    return session.value(QStringLiteral("access_token")).toString().toLatin1();
}
QString refreshToken(const QJsonObject& session) {
    return session.value(QStringLiteral("refresh_token")).toString();
}

QByteArray formatBody(const QString& input, AIFormatPreset preset) {
    return QJsonDocument(QJsonObject{{QStringLiteral("input"), input},
                                     {QStringLiteral("custom_prompt"), AIFormatPresets::prompt(preset)}})
        .toJson(QJsonDocument::Compact);
}

// A stand-in for an OpenAI-compatible chat endpoint that answers with a fixed text and keeps the last
// request.
class FakeChatEndpoint {
public:
    FakeChatEndpoint() {
        m_server.route(
            QStringLiteral("/v1/chat/completions"), QHttpServerRequest::Method::Post,
            [this](const QHttpServerRequest& request) {
                lastBody = QJsonDocument::fromJson(request.body()).object();
                lastAuthorization = request.value("authorization");
                if (failWith != 0)
                    return QHttpServerResponse(QByteArray("{}"), QHttpServerResponse::StatusCode(failWith));
                const QJsonObject answer{
                    {QStringLiteral("choices"),
                     QJsonArray{
                         QJsonObject{{QStringLiteral("message"),
                                      QJsonObject{{QStringLiteral("role"), QStringLiteral("assistant")},
                                                  {QStringLiteral("content"), reply}}}}}}};
                return QHttpServerResponse(answer);
            });
        port = m_server.listen(QHostAddress::LocalHost, 0);
    }
    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/v1").arg(port)); }

    QString reply = QStringLiteral("  Olá mundo  ");
    int failWith = 0;
    QJsonObject lastBody;
    QByteArray lastAuthorization;
    quint16 port = 0;

private:
    QHttpServer m_server;
};

// A 44-byte WAV header with no samples.
QByteArray wavHeader(quint16 format, quint16 channels, quint32 rate, quint16 bits) {
    QByteArray h;
    QDataStream out(&h, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << format << channels << rate << quint32(rate * channels * bits / 8)
        << quint16(channels * bits / 8) << bits;
    out.writeRawData("data", 4);
    out << quint32(0);
    return h;
}

QString messageContent(const QJsonObject& chatBody, int index) {
    return chatBody.value(QStringLiteral("messages"))
        .toArray()
        .at(index)
        .toObject()
        .value(QStringLiteral("content"))
        .toString();
}

} // namespace

class ServerHttpTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        setServerLogToStandardOutput(false);
        m_backend = std::make_unique<TestBackend>();
        QString error;
        QVERIFY2(m_backend->start(&error), qPrintable(error));
        m_speech.reset(new QTemporaryDir);
    }
    void cleanupTestCase() { m_backend.reset(); }

    void emailSignInRound() {
        TestBackend& b = *m_backend;
        HttpReply sent =
            b.authRequest("POST", QStringLiteral("/auth/v1/otp"),
                          {{QStringLiteral("email"), QStringLiteral("  Round.Trip@Example.com ")},
                           {QStringLiteral("create_user"), true}});
        QCOMPARE(sent.status, 200);
        const QString key = QStringLiteral("email:round.trip@example.com");
        const QString code = b.codeFor(key);
        QCOMPARE(code.size(), 6);
        QFile codes(b.server().codesFilePath());
        QCOMPARE(codes.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                 QFileDevice::Permissions());

        const QJsonObject wrongBody{{QStringLiteral("email"), QStringLiteral("round.trip@example.com")},
                                    {QStringLiteral("token"), code == QLatin1String("000000")
                                                                  ? QStringLiteral("111111")
                                                                  : QStringLiteral("000000")},
                                    {QStringLiteral("type"), QStringLiteral("email")}};
        HttpReply wrong = b.authRequest("POST", QStringLiteral("/auth/v1/verify"), wrongBody);
        QCOMPARE(wrong.status, 403);
        QCOMPARE(wrong.json().value(QStringLiteral("error_code")).toString(), QStringLiteral("otp_expired"));

        QJsonObject verifyBody = wrongBody;
        verifyBody.insert(QStringLiteral("token"), QStringLiteral(" ") + code + QStringLiteral(" "));
        HttpReply verified = b.authRequest("POST", QStringLiteral("/auth/v1/verify"), verifyBody);
        QCOMPARE(verified.status, 200);
        const QJsonObject session = verified.json();
        QCOMPARE(session.value(QStringLiteral("token_type")).toString(), QStringLiteral("bearer"));
        QCOMPARE(session.value(QStringLiteral("user")).toObject().value(QStringLiteral("email")).toString(),
                 QStringLiteral("round.trip@example.com"));
        QVERIFY(!refreshToken(session).isEmpty());
        const JsonWebToken::Verification claims = JsonWebToken::verify(
            accessToken(session), TestBackend::tokenSecret, b.clock().currentDateTime().toSecsSinceEpoch());
        QVERIFY2(claims.claims, qPrintable(claims.error));
        QCOMPARE(claims.claims->value(QStringLiteral("email")).toString(),
                 QStringLiteral("round.trip@example.com"));
        QCOMPARE(claims.claims->value(QStringLiteral("sub")).toString(),
                 session.value(QStringLiteral("user")).toObject().value(QStringLiteral("id")).toString());
        QCOMPARE(qint64(claims.claims->value(QStringLiteral("exp")).toDouble()),
                 qint64(session.value(QStringLiteral("expires_at")).toDouble()));

        // A code is good once.
        QCOMPARE(b.authRequest("POST", QStringLiteral("/auth/v1/verify"), verifyBody).status, 403);

        HttpReply user = b.authRequest("GET", QStringLiteral("/auth/v1/user"), {}, accessToken(session));
        QCOMPARE(user.status, 200);
        QCOMPARE(user.json().value(QStringLiteral("email")).toString(),
                 QStringLiteral("round.trip@example.com"));

        b.clock().advance(std::chrono::seconds(5));
        HttpReply refreshed = b.authRequest("POST", QStringLiteral("/auth/v1/token?grant_type=refresh_token"),
                                            {{QStringLiteral("refresh_token"), refreshToken(session)}});
        QCOMPARE(refreshed.status, 200);
        const QJsonObject second = refreshed.json();
        QVERIFY(refreshToken(second) != refreshToken(session));
        QVERIFY(accessToken(second) != accessToken(session));
        QCOMPARE(b.authRequest("GET", QStringLiteral("/auth/v1/user"), {}, accessToken(second)).status, 200);

        HttpReply loggedOut =
            b.authRequest("POST", QStringLiteral("/auth/v1/logout?scope=global"), {}, accessToken(second));
        QCOMPARE(loggedOut.status, 204);
        HttpReply afterLogout =
            b.authRequest("GET", QStringLiteral("/auth/v1/user"), {}, accessToken(second));
        QCOMPARE(afterLogout.status, 403);
        QCOMPARE(afterLogout.json().value(QStringLiteral("error_code")).toString(),
                 QStringLiteral("session_not_found"));
        QCOMPARE(b.backendRequest("GET", QStringLiteral("/ai/capabilities"), {}, accessToken(second)).status,
                 401);
        HttpReply refreshAfterLogout =
            b.authRequest("POST", QStringLiteral("/auth/v1/token?grant_type=refresh_token"),
                          {{QStringLiteral("refresh_token"), refreshToken(second)}});
        QCOMPARE(refreshAfterLogout.status, 400);
    }

    void rotatedRefreshTokenReuseEndsTheSession() {
        TestBackend& b = *m_backend;
        const QJsonObject first = b.signIn(QStringLiteral("reuse@example.com"));
        QVERIFY(!first.isEmpty());
        const QJsonObject second =
            b.authRequest("POST", QStringLiteral("/auth/v1/token?grant_type=refresh_token"),
                          {{QStringLiteral("refresh_token"), refreshToken(first)}})
                .json();
        QVERIFY(!refreshToken(second).isEmpty());
        HttpReply reused = b.authRequest("POST", QStringLiteral("/auth/v1/token?grant_type=refresh_token"),
                                         {{QStringLiteral("refresh_token"), refreshToken(first)}});
        QCOMPARE(reused.status, 400);
        QCOMPARE(reused.json().value(QStringLiteral("error_code")).toString(),
                 QStringLiteral("refresh_token_already_used"));
        QCOMPARE(b.backendRequest("GET", QStringLiteral("/ai/capabilities"), {}, accessToken(second)).status,
                 401);
    }

    void phoneCodeByWhatsAppIsVerifiedAsSms() {
        TestBackend& b = *m_backend;
        HttpReply sent = b.authRequest("POST", QStringLiteral("/auth/v1/otp"),
                                       {{QStringLiteral("phone"), QStringLiteral("+1 555-123-4567")},
                                        {QStringLiteral("channel"), QStringLiteral("whatsapp")},
                                        {QStringLiteral("create_user"), true}});
        QCOMPARE(sent.status, 200);
        QVERIFY(sent.json().contains(QStringLiteral("message_id")));
        const QString code = b.codeFor(QStringLiteral("phone:+15551234567"));
        QVERIFY(!code.isEmpty());
        HttpReply verified = b.authRequest("POST", QStringLiteral("/auth/v1/verify"),
                                           {{QStringLiteral("phone"), QStringLiteral("+15551234567")},
                                            {QStringLiteral("token"), code},
                                            {QStringLiteral("type"), QStringLiteral("sms")}});
        QCOMPARE(verified.status, 200);
        QCOMPARE(verified.json()
                     .value(QStringLiteral("user"))
                     .toObject()
                     .value(QStringLiteral("phone"))
                     .toString(),
                 QStringLiteral("15551234567"));
    }

    void codesExpireAndAreWithdrawnAfterTooManyWrongTries() {
        TestBackend& b = *m_backend;
        const QJsonObject otp{{QStringLiteral("email"), QStringLiteral("slow@example.com")}};
        QCOMPARE(b.authRequest("POST", QStringLiteral("/auth/v1/otp"), otp).status, 200);
        QString code = b.codeFor(QStringLiteral("email:slow@example.com"));
        b.clock().advance(std::chrono::seconds(301));
        QJsonObject verify{{QStringLiteral("email"), QStringLiteral("slow@example.com")},
                           {QStringLiteral("token"), code},
                           {QStringLiteral("type"), QStringLiteral("email")}};
        QCOMPARE(b.authRequest("POST", QStringLiteral("/auth/v1/verify"), verify).status, 403);

        QCOMPARE(b.authRequest("POST", QStringLiteral("/auth/v1/otp"), otp).status, 200);
        code = b.codeFor(QStringLiteral("email:slow@example.com"));
        QJsonObject wrong = verify;
        wrong.insert(QStringLiteral("token"),
                     QString::number((code.toInt() + 1) % 1000000).rightJustified(6, QLatin1Char('0')));
        for (int i = 0; i < 5; ++i)
            QCOMPARE(b.authRequest("POST", QStringLiteral("/auth/v1/verify"), wrong).status, 403);
        verify.insert(QStringLiteral("token"), code);
        QCOMPARE(b.authRequest("POST", QStringLiteral("/auth/v1/verify"), verify).status, 403);
    }

    void signInRequestErrors_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("apikey");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errorCode");
        const QByteArray key = TestBackend::anonKey;
        QTest::newRow("malformed JSON")
            << QByteArray("POST") << "/auth/v1/otp" << QByteArray("{\"email\":") << key << 400 << "bad_json";
        QTest::newRow("JSON array") << QByteArray("POST") << "/auth/v1/verify" << QByteArray("[]") << key
                                    << 400 << "bad_json";
        QTest::newRow("no apikey") << QByteArray("POST") << "/auth/v1/otp"
                                   << QByteArray("{\"email\":\"a@b.co\"}") << QByteArray() << 401 << "";
        QTest::newRow("wrong apikey")
            << QByteArray("POST") << "/auth/v1/otp" << QByteArray("{\"email\":\"a@b.co\"}")
            << QByteArray("nope") << 401 << "";
        QTest::newRow("email and phone") << QByteArray("POST") << "/auth/v1/otp"
                                         << QByteArray("{\"email\":\"a@b.co\",\"phone\":\"+15551234567\"}")
                                         << key << 400 << "validation_failed";
        QTest::newRow("neither") << QByteArray("POST") << "/auth/v1/otp" << QByteArray("{}") << key << 400
                                 << "validation_failed";
        QTest::newRow("invalid email")
            << QByteArray("POST") << "/auth/v1/otp" << QByteArray("{\"email\":\"not-an-address\"}") << key
            << 400 << "validation_failed";
        QTest::newRow("invalid phone")
            << QByteArray("POST") << "/auth/v1/otp" << QByteArray("{\"phone\":\"12ab\"}") << key << 400
            << "validation_failed";
        QTest::newRow("unknown channel") << QByteArray("POST") << "/auth/v1/otp"
                                         << QByteArray("{\"phone\":\"+15551234567\",\"channel\":\"pigeon\"}")
                                         << key << 400 << "validation_failed";
        QTest::newRow("no sign-up") << QByteArray("POST") << "/auth/v1/otp"
                                    << QByteArray("{\"email\":\"nobody@example.com\",\"create_user\":false}")
                                    << key << 422 << "otp_disabled";
        QTest::newRow("verify type") << QByteArray("POST") << "/auth/v1/verify"
                                     << QByteArray(
                                            "{\"email\":\"a@b.co\",\"token\":\"123456\",\"type\":\"bogus\"}")
                                     << key << 400 << "validation_failed";
        QTest::newRow("verify no token")
            << QByteArray("POST") << "/auth/v1/verify"
            << QByteArray("{\"email\":\"a@b.co\",\"type\":\"email\"}") << key << 400 << "validation_failed";
        QTest::newRow("verify unknown user")
            << QByteArray("POST") << "/auth/v1/verify"
            << QByteArray("{\"email\":\"ghost@example.com\",\"token\":\"123456\",\"type\":\"email\"}") << key
            << 403 << "otp_expired";
        QTest::newRow("grant type") << QByteArray("POST") << "/auth/v1/token?grant_type=password"
                                    << QByteArray("{}") << key << 400 << "unsupported_grant_type";
        QTest::newRow("unknown refresh token")
            << QByteArray("POST") << "/auth/v1/token?grant_type=refresh_token"
            << QByteArray("{\"refresh_token\":\"xyz\"}") << key << 400 << "refresh_token_not_found";
        QTest::newRow("user without token")
            << QByteArray("GET") << "/auth/v1/user" << QByteArray() << key << 401 << "no_authorization";
        QTest::newRow("logout without token")
            << QByteArray("POST") << "/auth/v1/logout" << QByteArray() << key << 401 << "no_authorization";
    }
    void signInRequestErrors() {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, apikey);
        QFETCH(int, status);
        QFETCH(QString, errorCode);
        Headers headers{{"Content-Type", "application/json"}};
        if (!apikey.isEmpty())
            headers.append({"apikey", apikey});
        const HttpReply reply = m_backend->request(method, path, body, headers);
        QCOMPARE(reply.status, status);
        if (!errorCode.isEmpty()) {
            QCOMPARE(reply.json().value(QStringLiteral("error_code")).toString(), errorCode);
            QVERIFY(!reply.json().value(QStringLiteral("msg")).toString().isEmpty());
        }
    }

    void backendExchangesRequireAValidToken_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("token"); // "valid", "none", "garbage", "foreign", "expired", "xonly"
        QTest::addColumn<int>("status");
        const QList<QPair<QByteArray, QString>> endpoints{{"GET", QStringLiteral("/ai/capabilities")},
                                                          {"POST", QStringLiteral("/ai/transcribe")},
                                                          {"POST", QStringLiteral("/ai/format")},
                                                          {"POST", QStringLiteral("/ai/audio-format")},
                                                          {"POST", QStringLiteral("/ai/translate")}};
        for (const auto& [method, path] : endpoints) {
            for (const char* kind : {"none", "garbage", "foreign", "expired"})
                QTest::addRow("%s %s", qPrintable(path), kind)
                    << method << path << QString::fromLatin1(kind) << 401;
        }
        QTest::newRow("capabilities X-Voxlet-Authorization only") << QByteArray("GET") << "/ai/capabilities"
                                                                  << "xonly" << 200;
        QTest::newRow("capabilities valid") << QByteArray("GET") << "/ai/capabilities"
                                            << "valid" << 200;
    }
    void backendExchangesRequireAValidToken() {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QString, token);
        QFETCH(int, status);
        TestBackend& b = *m_backend;
        const QJsonObject session = b.signIn(QStringLiteral("tokens@example.com"));
        const QByteArray valid = accessToken(session);
        const qint64 now = b.clock().currentDateTime().toSecsSinceEpoch();
        QJsonObject claims =
            JsonWebToken::verify(valid, TestBackend::tokenSecret, now).claims.value_or(QJsonObject());
        QByteArray value;
        Headers headers{{"Content-Type", "application/json"}};
        if (token == QLatin1String("valid") || token == QLatin1String("xonly")) {
            value = valid;
        } else if (token == QLatin1String("garbage")) {
            value = "not.a.jwt";
        } else if (token == QLatin1String("foreign")) {
            value = JsonWebToken::sign(claims, "some-other-secret");
        } else if (token == QLatin1String("expired")) {
            claims.insert(QStringLiteral("exp"), now - 1);
            value = JsonWebToken::sign(claims, TestBackend::tokenSecret);
        }
        if (!value.isEmpty())
            headers.append({token == QLatin1String("xonly") ? "X-Voxlet-Authorization" : "Authorization",
                            "Bearer " + value});
        const HttpReply reply =
            b.request(method, path, method == "POST" ? QByteArray("{}") : QByteArray(), headers);
        QCOMPARE(reply.status, status);
        if (status == 200)
            QVERIFY(reply.json().value(QStringLiteral("supports_audio_formatting")).isBool());
    }

    void accessTokensExpireWithTheClock() {
        TestBackend& b = *m_backend;
        const QByteArray token = accessToken(b.signIn(QStringLiteral("clock@example.com")));
        QCOMPARE(b.backendRequest("GET", QStringLiteral("/ai/capabilities"), {}, token).status, 200);
        b.clock().advance(std::chrono::seconds(3601));
        QCOMPARE(b.backendRequest("GET", QStringLiteral("/ai/capabilities"), {}, token).status, 401);
        QCOMPARE(b.authRequest("GET", QStringLiteral("/auth/v1/user"), {}, token).status, 403);
    }

    void capabilitiesDescribeTheLocalFormatter() {
        const HttpReply reply =
            m_backend->backendRequest("GET", QStringLiteral("/ai/capabilities"), {}, token());
        QCOMPARE(reply.status, 200);
        const QJsonObject body = reply.json();
        QVERIFY(body.value(QStringLiteral("formatting_provider")).isString());
        QVERIFY(body.value(QStringLiteral("formatting_model")).isString());
        QCOMPARE(body.value(QStringLiteral("supports_audio_formatting")).toBool(), true);
    }

    void transcribeReturnsTheSpokenSentence_data() {
        QTest::addColumn<QString>("sentence");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        const QStringList sentences = SpeechFixtures::sentences();
        for (qsizetype i = 0; i < sentences.size(); ++i)
            QTest::addRow("%s", qPrintable(sentences[i])) << sentences[i] << 0 << 1;
        QTest::newRow("48 kHz stereo") << sentences[1] << 48000 << 2;
        QTest::newRow("16 kHz mono") << sentences[3] << 16000 << 1;
        QTest::newRow("8 kHz mono") << sentences[4] << 8000 << 1;
    }
    void transcribeReturnsTheSpokenSentence() {
        QFETCH(QString, sentence);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QByteArray wav = SpeechFixtures::speak(sentence, m_speech->path());
        if (wav.isEmpty())
            QSKIP("espeak-ng is not available");
        if (rate != 0)
            wav = SpeechFixtures::convert(wav, rate, channels, m_speech->path());
        QVERIFY(!wav.isEmpty());
        const HttpReply reply =
            m_backend->backendRequest("POST", QStringLiteral("/ai/transcribe"), wav, token(), "audio/wav");
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().value(QStringLiteral("transcript")).toString(), sentence);
    }

    void transcribeRefusesWhatIsNotWav_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<int>("status");
        const QByteArray header = wavHeader(1, 1, 16000, 16);
        const QByteArray mulaw = wavHeader(7, 1, 8000, 8);
        const QByteArray zeroChannels = wavHeader(1, 0, 16000, 16);
        const QByteArray hugeRate = wavHeader(1, 1, 16000000, 16);
        QTest::newRow("text") << QByteArray("hello, this is not audio") << QByteArray("audio/wav") << 400;
        QTest::newRow("empty") << QByteArray() << QByteArray("audio/wav") << 400;
        QTest::newRow("truncated header") << header.left(30) << QByteArray("audio/wav") << 400;
        QTest::newRow("mu-law") << mulaw << QByteArray("audio/wav") << 400;
        QTest::newRow("no channels") << zeroChannels << QByteArray("audio/wav") << 400;
        QTest::newRow("absurd rate") << hugeRate << QByteArray("audio/wav") << 400;
        QTest::newRow("JSON content type") << header << QByteArray("application/json") << 415;
        QTest::newRow("no samples") << header << QByteArray("audio/wav") << 200;
    }
    void transcribeRefusesWhatIsNotWav() {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(int, status);
        const HttpReply reply =
            m_backend->backendRequest("POST", QStringLiteral("/ai/transcribe"), body, token(), contentType);
        QCOMPARE(reply.status, status);
        if (status == 200)
            QCOMPARE(reply.json().value(QStringLiteral("transcript")).toString(), QString());
        else
            QVERIFY(!reply.json().value(QStringLiteral("error")).toString().isEmpty());
        // The server is still there for the next request.
        QCOMPARE(m_backend->backendRequest("GET", QStringLiteral("/ai/capabilities"), {}, token()).status,
                 200);
    }

    void formatAppliesTheStyleOfTheInstruction_data() {
        QTest::addColumn<int>("preset");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("clean") << int(AIFormatPreset::clean) << "um so i think  we should ship it"
                               << "So I think we should ship it.";
        QTest::newRow("list") << int(AIFormatPreset::list) << "milk, eggs and bread"
                              << "- Milk\n- Eggs\n- Bread";
        QTest::newRow("subject") << int(AIFormatPreset::subject) << "the report is late. sorry about that"
                                 << "The report is late";
        QTest::newRow("email") << int(AIFormatPreset::email) << "hi anna. the report is ready. thanks"
                               << "Hi anna.\n\nThe report is ready.\n\nThanks.";
        QTest::newRow("formal") << int(AIFormatPreset::formal) << "we can't come"
                                << "We cannot come.";
    }
    void formatAppliesTheStyleOfTheInstruction() {
        QFETCH(int, preset);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        const HttpReply reply = m_backend->backendRequest("POST", QStringLiteral("/ai/format"),
                                                          formatBody(input, AIFormatPreset(preset)), token());
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().value(QStringLiteral("text")).toString(), expected);
    }

    void jsonExchangesRefuseMalformedBodies_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::newRow("format not JSON") << "/ai/format" << QByteArray("{input: 1") << 400;
        QTest::newRow("format no input") << "/ai/format" << QByteArray("{\"custom_prompt\":\"x\"}") << 400;
        QTest::newRow("format input number") << "/ai/format" << QByteArray("{\"input\":5}") << 400;
        QTest::newRow("format prompt object")
            << "/ai/format" << QByteArray("{\"input\":\"a\",\"custom_prompt\":{}}") << 400;
        QTest::newRow("audio-format not JSON") << "/ai/audio-format" << QByteArray("\xff\xfe") << 400;
        QTest::newRow("audio-format bad Base64")
            << "/ai/audio-format" << QByteArray("{\"audio_base64\":\"***\",\"mime_type\":\"audio/wav\"}")
            << 400;
        QTest::newRow("audio-format not audio")
            << "/ai/audio-format" << QByteArray("{\"audio_base64\":\"aGVsbG8=\",\"mime_type\":\"audio/wav\"}")
            << 409;
        QTest::newRow("audio-format mp3")
            << "/ai/audio-format"
            << QByteArray("{\"audio_base64\":\"aGVsbG8=\",\"mime_type\":\"audio/mpeg\"}") << 409;
        QTest::newRow("translate no language")
            << "/ai/translate" << QByteArray("{\"input\":\"hello\"}") << 400;
        QTest::newRow("translate without endpoint")
            << "/ai/translate" << QByteArray("{\"input\":\"hello\",\"target_language\":\"pt\"}") << 422;
    }
    void jsonExchangesRefuseMalformedBodies() {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const HttpReply reply = m_backend->backendRequest("POST", path, body, token());
        QCOMPARE(reply.status, status);
        QVERIFY(!reply.json().value(QStringLiteral("error")).toString().isEmpty());
    }

    void audioFormatRecognisesThenFormats() {
        const QByteArray wav = SpeechFixtures::speak(SpeechFixtures::sentences().at(0), m_speech->path());
        if (wav.isEmpty())
            QSKIP("espeak-ng is not available");
        const QJsonObject body{
            {QStringLiteral("audio_base64"), QString::fromLatin1(wav.toBase64())},
            {QStringLiteral("mime_type"), QStringLiteral("audio/wav")},
            {QStringLiteral("custom_prompt"), AIFormatPresets::prompt(AIFormatPreset::clean)}};
        const HttpReply reply = m_backend->backendRequest("POST", QStringLiteral("/ai/audio-format"),
                                                          QJsonDocument(body).toJson(), token());
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().value(QStringLiteral("text")).toString(),
                 QStringLiteral("Hello world this is a test."));
    }

    void chatEndpointFormatsAndTranslates() {
        FakeChatEndpoint chat;
        QVERIFY(chat.port != 0);
        TestBackend b([&](BackendConfig& c) {
            c.chatEndpoint = chat.baseUrl();
            c.chatApiKey = QStringLiteral("chat-key");
            c.chatModel = QStringLiteral("test-model");
        });
        QString error;
        QVERIFY2(b.start(&error), qPrintable(error));
        const QByteArray t = accessToken(b.signIn(QStringLiteral("chat@example.com")));

        HttpReply translated = b.backendRequest("POST", QStringLiteral("/ai/translate"),
                                                R"({"input":"hello world","target_language":"pt"})", t);
        QCOMPARE(translated.status, 200);
        QCOMPARE(translated.json().value(QStringLiteral("text")).toString(), QStringLiteral("Olá mundo"));
        QCOMPARE(chat.lastAuthorization, QByteArray("Bearer chat-key"));
        QCOMPARE(chat.lastBody.value(QStringLiteral("model")).toString(), QStringLiteral("test-model"));
        QVERIFY(messageContent(chat.lastBody, 0).contains(QStringLiteral("Portuguese")));
        QCOMPARE(messageContent(chat.lastBody, 1), QStringLiteral("hello world"));

        HttpReply formatted =
            b.backendRequest("POST", QStringLiteral("/ai/format"),
                             formatBody(QStringLiteral("dear anna the report"), AIFormatPreset::email), t);
        QCOMPARE(formatted.status, 200);
        QCOMPARE(messageContent(chat.lastBody, 0), AIFormatPresets::prompt(AIFormatPreset::email));

        chat.failWith = 500;
        QCOMPARE(b.backendRequest("POST", QStringLiteral("/ai/format"),
                                  formatBody(QStringLiteral("x"), AIFormatPreset::clean), t)
                     .status,
                 502);
        const HttpReply capabilities = b.backendRequest("GET", QStringLiteral("/ai/capabilities"), {}, t);
        QCOMPARE(capabilities.json().value(QStringLiteral("formatting_model")).toString(),
                 QStringLiteral("test-model"));
    }

    void versionNeedsNoAuthorization() {
        const HttpReply reply = m_backend->request("GET", QStringLiteral("/api/version"));
        QCOMPARE(reply.status, 200);
        const QJsonObject record = reply.json();
        QCOMPARE(record.value(QStringLiteral("version")).toString(), QStringLiteral("1.2.3"));
        QCOMPARE(record.value(QStringLiteral("build")).toInteger(), 42);
        QCOMPARE(record.value(QStringLiteral("download_url")).toString(),
                 QStringLiteral("http://127.0.0.1/Voxlet-1.2.3-linux-x86_64.tar.gz"));
        QVERIFY(!record.contains(QStringLiteral("release_notes")));
    }

    void browserSignInPageIsServed() {
        const HttpReply reply = m_backend->request("GET", QStringLiteral("/web/login"));
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.body.contains("voxlet://auth?token="));
        QVERIFY(reply.body.contains(QByteArray("\"") + TestBackend::anonKey + "\""));
        QVERIFY(reply.body.contains("/auth/v1/verify"));
    }

    void unknownRoutesAndMethods_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::newRow("unknown path") << QByteArray("GET") << "/ai/nothing" << 404;
        QTest::newRow("wrong method") << QByteArray("DELETE") << "/ai/format" << 405;
        QTest::newRow("GET on a POST exchange") << QByteArray("GET") << "/ai/transcribe" << 405;
        QTest::newRow("trailing slash") << QByteArray("GET") << "/api/version/" << 200;
    }
    void unknownRoutesAndMethods() {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        QCOMPARE(m_backend->request(method, path).status, status);
    }

    void accountsSurviveARestart() {
        TestBackend b;
        QString error;
        QVERIFY2(b.start(&error), qPrintable(error));
        const QJsonObject session = b.signIn(QStringLiteral("persist@example.com"));
        QVERIFY(!session.isEmpty());
        b.restart();
        QVERIFY(b.ok());
        QCOMPARE(b.authRequest("GET", QStringLiteral("/auth/v1/user"), {}, accessToken(session)).status, 200);
        QCOMPARE(b.authRequest("POST", QStringLiteral("/auth/v1/token?grant_type=refresh_token"),
                               {{QStringLiteral("refresh_token"), refreshToken(session)}})
                     .status,
                 200);
        // Only hashes of refresh tokens are stored.
        for (const QString& name : QDir(b.dataDir()).entryList(QDir::Files)) {
            QFile file(QDir(b.dataDir()).filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(!file.readAll().contains(refreshToken(session).toLatin1()), qPrintable(name));
        }
    }

    void oversizedRequestsAreRefused_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QByteArray>("statusLine");
        const QByteArray bigBody = "POST /ai/transcribe HTTP/1.1\r\nHost: x\r\nContent-Type: "
                                   "audio/wav\r\nContent-Length: 300000\r\n\r\n" +
                                   QByteArray(300000, 'a');
        QTest::newRow("body") << bigBody << QByteArray("HTTP/1.1 413");
        QTest::newRow("header") << "GET /api/version HTTP/1.1\r\nX-Long: " + QByteArray(70000, 'h') +
                                       "\r\n\r\n"
                                << QByteArray("HTTP/1.1 431");
        QTest::newRow("chunked") << QByteArray("POST /ai/format HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
                                               "chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
                                 << QByteArray("HTTP/1.1 411");
        QTest::newRow("not HTTP") << QByteArray("HELLO THERE\r\n\r\n") << QByteArray("HTTP/1.1 400");
        QTest::newRow("bad length") << QByteArray("POST /ai/format HTTP/1.1\r\nContent-Length: -5\r\n\r\n")
                                    << QByteArray("HTTP/1.1 400");
    }
    void oversizedRequestsAreRefused() {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, statusLine);
        TestBackend& b = limitedBackend();
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, b.server().port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(raw);
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += socket.readAll()).contains("\r\n\r\n") ||
                                     socket.state() == QAbstractSocket::UnconnectedState,
                                 10000);
        QVERIFY2(answer.startsWith(statusLine), answer.left(80).constData());
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(b.request("GET", QStringLiteral("/api/version")).status, 200);
    }

    void oversizedBodyThroughAnHttpClient() {
        TestBackend& b = limitedBackend();
        const HttpReply reply = b.backendRequest("POST", QStringLiteral("/ai/transcribe"),
                                                 QByteArray(200000, 'x'), token(), "audio/wav");
        QCOMPARE(reply.status, 413);
    }

    void idleConnectionsAreClosed() {
        TestBackend& b = limitedBackend();
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, b.server().port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET /api/ver"); // and then nothing more
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    }

private:
    QByteArray token() {
        if (m_token.isEmpty())
            m_token = accessToken(m_backend->signIn(QStringLiteral("user@example.com")));
        return m_token;
    }
    TestBackend& limitedBackend() {
        if (!m_limited) {
            m_limited = std::make_unique<TestBackend>([](BackendConfig& c) {
                c.http.maxBodyBytes = 64 * 1024;
                c.http.idleTimeoutMs = 300;
                c.tokenSecret = TestBackend::tokenSecret;
            });
            QString error;
            m_limited->start(&error);
        }
        return *m_limited;
    }

    std::unique_ptr<TestBackend> m_backend;
    std::unique_ptr<TestBackend> m_limited;
    std::unique_ptr<QTemporaryDir> m_speech;
    QByteArray m_token;
};

QTEST_GUILESS_MAIN(ServerHttpTest)
#include "test_server_http.moc"
