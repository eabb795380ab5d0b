#include "backend/AIFormatterService.h"
#include "backend/OpenAITranscriptionService.h"
#include "backend/TraceId.h"
#include "dictation/AppLog.h"
#include "platform/fake/ManualScheduler.h"
#include "platform/fake/RecordingSystemLog.h"
#include "support/HttpFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(HttpFixtureReply)

namespace {

const QString nothing = QStringLiteral("<nothing>");
const QByteArray wav = QByteArray("RIFF") + QByteArray(40, '\x01'); // 44 bytes

HttpFixtureReply ok(const QByteArray& json) {
    return HttpFixtureReply::json(200, json);
}
HttpFixtureReply status(int code) {
    return HttpFixtureReply::json(code, QByteArray(R"({"text":"x","transcript":"x"})"));
}

QCoro::Task<std::optional<QString>> ready(std::optional<QString> token) {
    co_return token;
}

// Tokens handed out in order; once the script is used up, the last one again.
struct TokenScript {
    std::deque<std::optional<QString>> tokens{QStringLiteral("tok-1")};
    int asked = 0;

    std::optional<QString> next() {
        ++asked;
        std::optional<QString> token = tokens.front();
        if (tokens.size() > 1)
            tokens.pop_front();
        return token;
    }
};

AccessTokenProvider providerFor(const std::shared_ptr<TokenScript>& script) {
    return [script] { return ready(script->next()); };
}

QString pathOf(const QString& kind) {
    if (kind == "format")
        return "/ai/format";
    if (kind == "audio")
        return "/ai/audio-format";
    if (kind == "translate")
        return "/ai/translate";
    if (kind == "transcribe")
        return "/ai/transcribe";
    return "/ai/capabilities";
}

// Exact comparison; an expected line ending in "*" only fixes the text before it and wants more after.
void compareLines(const QStringList& actual, const QStringList& expected) {
    if (actual.size() != expected.size())
        QFAIL(qPrintable("lines:\n" + actual.join('\n') + "\nexpected:\n" + expected.join('\n')));
    for (qsizetype i = 0; i < actual.size(); ++i) {
        if (expected[i].endsWith('*')) {
            const QString prefix = expected[i].chopped(1);
            QVERIFY2(actual[i].startsWith(prefix) && actual[i].size() > prefix.size(), qPrintable(actual[i]));
        } else {
            QCOMPARE(actual[i], expected[i]);
        }
    }
}

} // namespace

class BackendClientsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir stateHome;
    std::shared_ptr<RecordingSystemLog> log = std::make_shared<RecordingSystemLog>();
    std::unique_ptr<HttpFixture> server;
    std::unique_ptr<ManualScheduler> scheduler;
    std::unique_ptr<AIFormatterService> formatter;
    std::unique_ptr<OpenAITranscriptionService> transcriber;
    std::shared_ptr<TokenScript> tokens;
    // Each retry pause the clients waited for, with the number of requests the server had seen then.
    QList<QPair<qint64, int>> pauses;

    void useBase(const QUrl& base) {
        formatter->apiBaseURL = base;
        transcriber->apiBaseURL = base;
    }

    QStringList lines() const {
        QStringList result;
        for (const QString& line : log->infos()) {
            if (line.startsWith("ProTrace ") || line.startsWith("AIFormatterService: "))
                result.append(line);
        }
        return result;
    }

    // Runs a call to its end: the event loop serves the fixture and the replies, and each pause on the
    // manual clock is noted and then skipped.
    template <typename T> std::optional<T> drive(QCoro::Task<T> task) {
        auto result = std::make_shared<std::optional<T>>();
        auto continuation = task.then([result](T value) { *result = std::move(value); });
        QElapsedTimer elapsed;
        elapsed.start();
        while (!*result && elapsed.elapsed() < 20000) {
            QTest::qWait(1);
            if (!*result && scheduler->pendingCount() > 0) {
                pauses.append({scheduler->nextDelay()->count(), server->requestCount()});
                scheduler->advanceToNext();
            }
        }
        return *result;
    }

    std::optional<QString> run(const QString& kind, const std::optional<QString>& traceId) {
        if (kind == "format") {
            const std::optional<QString> text =
                drive(formatter->formatText("hello world", AIFormatPreset::clean, traceId));
            return text ? text : std::optional<QString>(QStringLiteral("<unfinished>"));
        }
        std::optional<std::optional<QString>> result;
        if (kind == "audio")
            result = drive(formatter->formatAudio(wav, AIFormatPreset::clean, traceId));
        else if (kind == "translate")
            result = drive(formatter->translate(QString::fromUtf8(" Olá mundo "), "en", traceId));
        else
            result = drive(transcriber->transcribe(wav, traceId));
        if (!result)
            return QStringLiteral("<unfinished>");
        return *result;
    }

    void probe() {
        auto done = std::make_shared<bool>(false);
        auto continuation = formatter->refreshCapabilities().then([done] { *done = true; });
        QVERIFY(QTest::qWaitFor([&] { return *done; }, 20000));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(stateHome.isValid());
        qputenv("XDG_STATE_HOME", stateHome.path().toUtf8());
        setAppSystemLog(log);
        setAppLogToStandardOutput(false);
    }

    void init() {
        log->clear();
        pauses.clear();
        server = std::make_unique<HttpFixture>();
        QVERIFY(server->isListening());
        scheduler = std::make_unique<ManualScheduler>();
        formatter = std::make_unique<AIFormatterService>(*scheduler);
        transcriber = std::make_unique<OpenAITranscriptionService>(*scheduler);
        tokens = std::make_shared<TokenScript>();
        useBase(server->url("/"));
        formatter->accessTokenProvider = providerFor(tokens);
        transcriber->accessTokenProvider = providerFor(tokens);
    }

    void cleanup() {
        formatter.reset();
        transcriber.reset();
        server.reset();
    }

    void attemptsAndStatusClasses_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QList<HttpFixtureReply>>("replies");
        QTest::addColumn<QStringList>("expectedLines");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QList<qint64>>("expectedPauses");

        const QString p = "ProTrace id=ABCD1234 ";
        const QString formatStart = p + "format_request_start attempt=%1 endpoint=/ai/format inputChars=11";
        const QString audioStart =
            p + "audio_format_request_start attempt=%1 endpoint=/ai/audio-format audioBytes=44 preset=clean";
        const QString translateStart =
            p + "translate_request_start attempt=%1 endpoint=/ai/translate inputChars=11 targetLanguage=en";
        const QString transcribeStart =
            p + "transcribe_request_start attempt=%1 audioBytes=44 endpoint=/ai/transcribe";

        QTest::newRow("format: 503, then 200")
            << "format" << QList{status(503), ok(R"({"text":"  Hello world  "})")}
            << QStringList{formatStart.arg(1), p + "format_request_error status=503 latencyMs=0 attempt=1",
                           formatStart.arg(2),
                           p + "format_request_done status=200 latencyMs=0 outputChars=11"}
            << "Hello world" << QList<qint64>{900};
        QTest::newRow("audio format: 503, then 200")
            << "audio" << QList{status(503), ok(R"({"text":" Hi there "})")}
            << QStringList{audioStart.arg(1),
                           p + "audio_format_request_error status=503 latencyMs=0 attempt=1",
                           audioStart.arg(2),
                           p + "audio_format_request_done status=200 latencyMs=0 outputChars=8"}
            << "Hi there" << QList<qint64>{900};
        QTest::newRow("translate: 503, then 200")
            << "translate" << QList{status(503), ok(R"({"text":"Hello world","targetLanguage":"en"})")}
            << QStringList{translateStart.arg(1),
                           p + "translate_request_error status=503 latencyMs=0 attempt=1",
                           translateStart.arg(2),
                           p + "translate_request_done status=200 latencyMs=0 outputChars=11 "
                               "targetLanguage=en"}
            << "Hello world" << QList<qint64>{900};
        QTest::newRow("transcribe: 503, then 200")
            << "transcribe" << QList{status(503), ok("{\"transcript\":\"  hello \\n\"}")}
            << QStringList{transcribeStart.arg(1), p + "transcribe_request_error status=503 latencyMs=0",
                           transcribeStart.arg(2),
                           p + "transcribe_request_done status=200 latencyMs=0 transcriptChars=5"}
            << "hello" << QList<qint64>{1200};

        QTest::newRow("format: 401 is final, the input comes back")
            << "format" << QList{status(401)}
            << QStringList{formatStart.arg(1), p + "format_request_error status=401 latencyMs=0 attempt=1"}
            << "hello world" << QList<qint64>{};
        QTest::newRow("format: 409 is final")
            << "format" << QList{status(409)}
            << QStringList{formatStart.arg(1), p + "format_request_error status=409 latencyMs=0 attempt=1"}
            << "hello world" << QList<qint64>{};
        QTest::newRow("audio format: 409 is final")
            << "audio" << QList{status(409)}
            << QStringList{audioStart.arg(1),
                           p + "audio_format_request_error status=409 latencyMs=0 attempt=1"}
            << nothing << QList<qint64>{};
        QTest::newRow("translate: 400 is final")
            << "translate" << QList{status(400)}
            << QStringList{translateStart.arg(1),
                           p + "translate_request_error status=400 latencyMs=0 attempt=1"}
            << nothing << QList<qint64>{};
        QTest::newRow("transcribe: 401 is final")
            << "transcribe" << QList{status(401)}
            << QStringList{transcribeStart.arg(1), p + "transcribe_request_error status=401 latencyMs=0"}
            << nothing << QList<qint64>{};
        QTest::newRow("transcribe: 429 twice")
            << "transcribe" << QList{status(429), status(429)}
            << QStringList{transcribeStart.arg(1), p + "transcribe_request_error status=429 latencyMs=0",
                           transcribeStart.arg(2), p + "transcribe_request_error status=429 latencyMs=0"}
            << nothing << QList<qint64>{1200};
        QTest::newRow("format: 408, then 500")
            << "format" << QList{status(408), status(500)}
            << QStringList{formatStart.arg(1), p + "format_request_error status=408 latencyMs=0 attempt=1",
                           formatStart.arg(2), p + "format_request_error status=500 latencyMs=0 attempt=2"}
            << "hello world" << QList<qint64>{900};
        QTest::newRow("format: 425, then 200")
            << "format" << QList{status(425), ok(R"({"text":"ok"})")}
            << QStringList{formatStart.arg(1), p + "format_request_error status=425 latencyMs=0 attempt=1",
                           formatStart.arg(2), p + "format_request_done status=200 latencyMs=0 outputChars=2"}
            << "ok" << QList<qint64>{900};

        QTest::newRow("format: body without text, twice")
            << "format" << QList{ok(R"({"result":"a"})"), ok(R"({"result":"a"})")}
            << QStringList{formatStart.arg(1), p + "format_request_failed attempt=1 latencyMs=0 error=*",
                           formatStart.arg(2), p + "format_request_failed attempt=2 latencyMs=0 error=*"}
            << "hello world" << QList<qint64>{900};
        QTest::newRow("transcribe: body without transcript, twice")
            << "transcribe" << QList{ok(R"({"text":"a"})"), ok(R"({"text":"a"})")}
            << QStringList{transcribeStart.arg(1),
                           p + "transcribe_request_failed attempt=1 latencyMs=0 error=*",
                           transcribeStart.arg(2),
                           p + "transcribe_request_failed attempt=2 latencyMs=0 error=*"}
            << nothing << QList<qint64>{1200};
        QTest::newRow("audio format: text of the wrong type, twice")
            << "audio" << QList{ok(R"({"text":5})"), ok(R"({"text":null})")}
            << QStringList{audioStart.arg(1), p + "audio_format_request_failed attempt=1 latencyMs=0 error=*",
                           audioStart.arg(2), p + "audio_format_request_failed attempt=2 latencyMs=0 error=*"}
            << nothing << QList<qint64>{900};
        QTest::newRow("translate: not JSON, then 200")
            << "translate" << QList{ok("<html>"), ok(R"({"text":"Hi"})")}
            << QStringList{translateStart.arg(1),
                           p + "translate_request_failed attempt=1 latencyMs=0 error=*",
                           translateStart.arg(2),
                           p + "translate_request_done status=200 latencyMs=0 outputChars=2 "
                               "targetLanguage=en"}
            << "Hi" << QList<qint64>{900};
        QTest::newRow("format: a JSON array is not the response")
            << "format" << QList{ok(R"(["text"])"), ok(R"({"text":"fine","extra":{"a":1}})")}
            << QStringList{formatStart.arg(1), p + "format_request_failed attempt=1 latencyMs=0 error=*",
                           formatStart.arg(2), p + "format_request_done status=200 latencyMs=0 outputChars=4"}
            << "fine" << QList<qint64>{900};

        QTest::newRow("translate: text of spaces is an empty result")
            << "translate" << QList{ok(R"({"text":"   "})")}
            << QStringList{translateStart.arg(1), p + "translate_request_done status=200 latencyMs=0 "
                                                      "outputChars=0 targetLanguage=en"}
            << "" << QList<qint64>{};
        QTest::newRow("transcribe: empty transcript is an empty result")
            << "transcribe" << QList{ok(R"({"transcript":""})")}
            << QStringList{transcribeStart.arg(1),
                           p + "transcribe_request_done status=200 latencyMs=0 transcriptChars=0"}
            << "" << QList<qint64>{};
    }

    void attemptsAndStatusClasses() {
        QFETCH(QString, kind);
        QFETCH(QList<HttpFixtureReply>, replies);
        QFETCH(QStringList, expectedLines);
        QFETCH(QList<qint64>, expectedPauses);
        for (const HttpFixtureReply& reply : replies)
            server->enqueue(pathOf(kind), reply);

        const std::optional<QString> result = run(kind, QStringLiteral("ABCD1234"));

        QTEST(result.value_or(nothing), "expected");
        compareLines(lines(), expectedLines);
        QCOMPARE(server->requestCount(), int(replies.size()));
        QCOMPARE(tokens->asked, int(replies.size()));
        // Every pause was taken after the first request had been answered, before the second left.
        QList<qint64> pauseLengths;
        for (const auto& [length, requestsSeen] : pauses) {
            pauseLengths.append(length);
            QCOMPARE(requestsSeen, 1);
        }
        QCOMPARE(pauseLengths, expectedPauses);
    }

    void missingConfiguration_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("expectedLines");
        QTest::addColumn<QString>("expected");

        const QString formatterLine = "AIFormatterService: Missing backend configuration or access token";
        const QStringList transcribeLines{
            "ProTrace id=none transcribe_request_missing_backend_configuration_or_access_token",
            "ProTrace id=none transcribe_request_skipped reason=missing_access_token_or_api_url"};
        for (const QString setup : {"no base URL", "no provider", "no token", "empty token"}) {
            QTest::addRow("format, %s", qPrintable(setup))
                << "format" << setup << QStringList{formatterLine} << "hello world";
            QTest::addRow("audio, %s", qPrintable(setup))
                << "audio" << setup << QStringList{formatterLine} << nothing;
            QTest::addRow("translate, %s", qPrintable(setup))
                << "translate" << setup << QStringList{formatterLine} << nothing;
            QTest::addRow("transcribe, %s", qPrintable(setup))
                << "transcribe" << setup << transcribeLines << nothing;
        }
    }

    void missingConfiguration() {
        QFETCH(QString, kind);
        QFETCH(QString, setup);
        if (setup == "no base URL") {
            formatter->apiBaseURL.reset();
            transcriber->apiBaseURL.reset();
        } else if (setup == "no provider") {
            formatter->accessTokenProvider = nullptr;
            transcriber->accessTokenProvider = nullptr;
        } else {
            tokens->tokens = {setup == "no token" ? std::nullopt : std::optional<QString>(QString())};
        }

        const std::optional<QString> result = run(kind, std::nullopt);

        QTEST(result.value_or(nothing), "expected");
        QFETCH(QStringList, expectedLines);
        compareLines(lines(), expectedLines);
        QCOMPARE(server->requestCount(), 0);
        QVERIFY(pauses.isEmpty());
    }

    void missingTokenStillFormatsTheInputAsAnEmail() {
        tokens->tokens = {std::nullopt};
        const std::optional<QString> result =
            drive(formatter->formatText(" Hi Ana. See you at noon. Thanks! ", AIFormatPreset::email, "T"));
        QCOMPARE(result.value_or(nothing), QString("Hi Ana.\n\nSee you at noon.\n\nThanks!"));
        QCOMPARE(server->requestCount(), 0);
    }

    void tokenIsAskedForAgainBeforeTheSecondAttempt() {
        server->enqueue("/ai/transcribe", status(503));
        server->enqueue("/ai/transcribe", ok(R"({"transcript":"fine"})"));
        tokens->tokens = {QStringLiteral("first"), QStringLiteral("second")};

        QCOMPARE(run("transcribe", "T").value_or(nothing), QString("fine"));

        QCOMPARE(server->requestCount(), 2);
        QCOMPARE(server->requests().at(0).header("Authorization"), QByteArray("Bearer first"));
        QCOMPARE(server->requests().at(1).header("Authorization"), QByteArray("Bearer second"));
        QCOMPARE(server->requests().at(1).header("X-Voxlet-Authorization"), QByteArray("Bearer second"));
    }

    void tokenThatVanishesEndsTheCallWithoutASecondRequest_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("lastLines");
        QTest::newRow("format") << "format"
                                << QStringList{
                                       "AIFormatterService: Missing backend configuration or access token"};
        QTest::newRow("transcribe")
            << "transcribe"
            << QStringList{"ProTrace id=T transcribe_request_missing_backend_configuration_or_access_token",
                           "ProTrace id=T transcribe_request_skipped reason=missing_access_token_or_api_url"};
    }

    void tokenThatVanishesEndsTheCallWithoutASecondRequest() {
        QFETCH(QString, kind);
        QFETCH(QStringList, lastLines);
        server->enqueue(pathOf(kind), status(502));
        tokens->tokens = {QStringLiteral("first"), std::nullopt};

        const std::optional<QString> result = run(kind, "T");

        QCOMPARE(result.value_or(nothing), kind == "format" ? QString("hello world") : nothing);
        QCOMPARE(server->requestCount(), 1);
        QCOMPARE(lines().size(), 2 + lastLines.size());
        QCOMPARE(lines().mid(2), lastLines);
    }

    void headers_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QVariant>("traceId"); // null: none given
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QString>("linePrefix");

        const QList<QPair<QString, QByteArray>> kinds{{"format", "application/json"},
                                                      {"audio", "application/json"},
                                                      {"translate", "application/json"},
                                                      {"transcribe", "audio/wav"}};
        for (const auto& [kind, contentType] : kinds) {
            QTest::addRow("%s, trace", qPrintable(kind))
                << kind << QVariant("ABCD1234") << contentType << "ProTrace id=ABCD1234 ";
            QTest::addRow("%s, no trace", qPrintable(kind))
                << kind << QVariant() << contentType << "ProTrace id=none ";
            QTest::addRow("%s, empty trace", qPrintable(kind))
                << kind << QVariant("") << contentType << "ProTrace id= ";
        }
    }

    void headers() {
        QFETCH(QString, kind);
        QFETCH(QVariant, traceId);
        QFETCH(QByteArray, contentType);
        QFETCH(QString, linePrefix);
        server->setDefaultReply(ok(R"({"text":"a","transcript":"a"})"));
        const std::optional<QString> trace =
            traceId.isNull() ? std::nullopt : std::optional<QString>(traceId.toString());

        run(kind, trace);

        QCOMPARE(server->requestCount(), 1);
        const RecordedRequest request = server->requests().at(0);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, pathOf(kind));
        HttpHeaderList expected{{"authorization", "Bearer tok-1"},
                                {"x-voxlet-authorization", "Bearer tok-1"},
                                {"content-type", contentType}};
        if (trace && !trace->isEmpty())
            expected.append({"x-voxlet-trace-id", trace->toUtf8()});
        QCOMPARE(ownHeaders(request), expected);
        QCOMPARE(lines().size(), 2);
        for (const QString& line : lines())
            QVERIFY2(line.startsWith(linePrefix) && line.at(linePrefix.size()) != ' ', qPrintable(line));
    }

    void probeSendsOnlyTheAuthorizationHeaders() {
        server->enqueue("/ai/capabilities",
                        ok(R"({"formatting_provider":"p","supports_audio_formatting":true})"));
        probe();
        QCOMPARE(server->requestCount(), 1);
        const RecordedRequest request = server->requests().at(0);
        QCOMPARE(request.method, QByteArray("GET"));
        QVERIFY(request.body.isEmpty());
        const HttpHeaderList expected{{"authorization", "Bearer tok-1"},
                                      {"x-voxlet-authorization", "Bearer tok-1"}};
        QCOMPARE(ownHeaders(request), expected);
    }

    void baseURLPath_data() {
        QTest::addColumn<QString>("basePath");
        QTest::addColumn<QString>("expectedPath");
        QTest::newRow("no path") << ""
                                 << "/ai/format";
        QTest::newRow("root") << "/"
                              << "/ai/format";
        QTest::newRow("own path") << "/api"
                                  << "/api/ai/format";
        QTest::newRow("own path with trailing slash") << "/api/"
                                                      << "/api/ai/format";
        QTest::newRow("two segments with trailing slash") << "/v2/api/"
                                                          << "/v2/api/ai/format";
    }

    void baseURLPath() {
        QFETCH(QString, basePath);
        QFETCH(QString, expectedPath);
        useBase(server->url(basePath));
        server->setDefaultReply(ok(R"({"text":"a"})"));
        run("format", "T");
        QCOMPARE(server->requestCount(), 1);
        QCOMPARE(server->requests().at(0).path, expectedPath);
        QCOMPARE(server->requests().at(0).target, expectedPath.toUtf8());
    }

    void requestBodies() {
        server->setDefaultReply(ok(R"({"text":"a","transcript":"a"})"));
        const QByteArray audio = QByteArray::fromHex("52494646000102fffe80");
        drive(formatter->formatText("  keep my spaces ", AIFormatPreset::clean, "T"));
        drive(formatter->formatText("no style", std::nullopt, "T"));
        drive(formatter->formatAudio(audio, AIFormatPreset::email, "T"));
        drive(formatter->translate(QString::fromUtf8("  olá\n"), "pt-BR", "T"));
        drive(transcriber->transcribe(audio, "T"));
        QCOMPARE(server->requestCount(), 5);
        const QList<RecordedRequest> requests = server->requests();

        const QString cleanInstruction =
            "Clean up this dictated text. Remove filler words, fix punctuation and casing, "
            "preserve the original language, meaning, and tone. Return only the final text.";
        QCOMPARE(requests[0].jsonBody(),
                 (QJsonObject{{"input", "  keep my spaces "}, {"custom_prompt", cleanInstruction}}));
        QCOMPARE(requests[1].jsonBody(), (QJsonObject{{"input", "no style"}}));
        QCOMPARE(requests[2].jsonBody(),
                 (QJsonObject{{"audio_base64", "UklGRgABAv/+gA=="},
                              {"mime_type", "audio/wav"},
                              {"custom_prompt", AIFormatPresets::prompt(AIFormatPreset::email).trimmed()}}));
        QVERIFY(requests[2]
                    .jsonBody()
                    .value("custom_prompt")
                    .toString()
                    .startsWith("Transform this dictated text into a polished email body."));
        QCOMPARE(requests[3].jsonBody(),
                 (QJsonObject{{"input", QString::fromUtf8("olá")}, {"target_language", "pt-BR"}}));
        QCOMPARE(requests[4].body, audio);
        for (int i = 0; i < 4; ++i)
            QVERIFY2(!requests[i].body.contains('\n') && !requests[i].body.contains(": "),
                     requests[i].body.constData());
    }

    void timeOutThenRetry() {
        formatter->timeoutSeconds = 0.3;
        server->enqueue("/ai/format", HttpFixtureReply::neverAnswer());
        server->enqueue("/ai/format", ok(R"({"text":"late but fine"})"));

        QCOMPARE(run("format", "T").value_or(nothing), QString("late but fine"));

        compareLines(lines(),
                     {"ProTrace id=T format_request_start attempt=1 endpoint=/ai/format inputChars=11",
                      "ProTrace id=T format_request_failed attempt=1 latencyMs=0 error=Operation canceled",
                      "ProTrace id=T format_request_start attempt=2 endpoint=/ai/format inputChars=11",
                      "ProTrace id=T format_request_done status=200 latencyMs=0 outputChars=13"});
        QCOMPARE(server->requests("/ai/format").size(), 2);
    }

    // Qt sends a request again by itself when the connection ends without an answer, so every request
    // gets the same treatment here; the log shows what the client itself attempted.
    void answerThatIsNotHttpIsATransportFailure() {
        server->setHandler([](const RecordedRequest&) { return HttpFixtureReply::raw("220 ready\r\n"); });

        QCOMPARE(run("format", "T").value_or(nothing), QString("hello world"));

        compareLines(lines(),
                     {"ProTrace id=T format_request_start attempt=1 endpoint=/ai/format inputChars=11",
                      "ProTrace id=T format_request_failed attempt=1 latencyMs=0 error=*",
                      "ProTrace id=T format_request_start attempt=2 endpoint=/ai/format inputChars=11",
                      "ProTrace id=T format_request_failed attempt=2 latencyMs=0 error=*"});
        QCOMPARE(pauses.size(), 1);
    }

    void capabilitiesTransportFailureIsNotRetried() {
        server->setHandler([](const RecordedRequest&) { return HttpFixtureReply::dropConnection(); });
        probe();
        compareLines(lines(), {"AIFormatterService: capabilities failed latencyMs=0 error=*"});
        QVERIFY(!formatter->supportsAudioFormatting());
        QVERIFY(pauses.isEmpty() && scheduler->pendingCount() == 0);
    }

    void droppedConnectionIsATransportFailure() {
        server->setHandler([](const RecordedRequest&) { return HttpFixtureReply::dropConnection(); });

        QCOMPARE(run("transcribe", "T").value_or(nothing), nothing);

        compareLines(
            lines(),
            {"ProTrace id=T transcribe_request_start attempt=1 audioBytes=44 endpoint=/ai/transcribe",
             "ProTrace id=T transcribe_request_failed attempt=1 latencyMs=0 error=*",
             "ProTrace id=T transcribe_request_start attempt=2 audioBytes=44 endpoint=/ai/transcribe",
             "ProTrace id=T transcribe_request_failed attempt=2 latencyMs=0 error=*"});
        QCOMPARE(tokens->asked, 2);
    }

    void redirectKeepsTheTokenAtItsOrigin() {
        HttpFixture elsewhere;
        HttpFixtureReply redirect = HttpFixtureReply::text(307, "");
        redirect.headers.append({"Location", elsewhere.url("/ai/format").toEncoded()});
        server->setDefaultReply(redirect);
        elsewhere.setDefaultReply(ok(R"({"text":"stolen"})"));

        QCOMPARE(run("format", "T").value_or(nothing), QString("hello world"));

        QCOMPARE(elsewhere.requestCount(), 0);
        compareLines(lines(),
                     {"ProTrace id=T format_request_start attempt=1 endpoint=/ai/format inputChars=11",
                      "ProTrace id=T format_request_failed attempt=1 latencyMs=0 error=*",
                      "ProTrace id=T format_request_start attempt=2 endpoint=/ai/format inputChars=11",
                      "ProTrace id=T format_request_failed attempt=2 latencyMs=0 error=*"});
    }

    void redirectWithinTheOriginIsFollowed() {
        HttpFixtureReply redirect = HttpFixtureReply::text(308, "");
        redirect.headers.append({QByteArray("Location"), QByteArray("/moved/ai/format")});
        server->enqueue("/ai/format", redirect);
        server->enqueue("/moved/ai/format", ok(R"({"text":"moved"})"));

        QCOMPARE(run("format", "T").value_or(nothing), QString("moved"));
        QCOMPARE(server->requests().at(1).header("Authorization"), QByteArray("Bearer tok-1"));
    }

    void realPauseBeforeTheSecondRequest_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("pauseMs");
        QTest::newRow("format") << "format" << 900;
        QTest::newRow("transcribe") << "transcribe" << 1200;
    }

    // The one test on the event-loop clock: the pause really separates the two requests.
    void realPauseBeforeTheSecondRequest() {
        QFETCH(QString, kind);
        QFETCH(int, pauseMs);
        AIFormatterService realFormatter;
        OpenAITranscriptionService realTranscriber;
        for (BackendClient* client :
             std::initializer_list<BackendClient*>{&realFormatter, &realTranscriber}) {
            client->apiBaseURL = server->url("/");
            client->accessTokenProvider = providerFor(tokens);
        }
        server->enqueue(pathOf(kind), status(503));
        server->enqueue(pathOf(kind), ok(R"({"text":"a","transcript":"a"})"));

        QElapsedTimer elapsed;
        elapsed.start();
        const QString result = kind == "format"
                                   ? QCoro::waitFor(realFormatter.formatText("x", AIFormatPreset::clean, "T"))
                                   : QCoro::waitFor(realTranscriber.transcribe(wav, "T")).value_or(nothing);
        QCOMPARE(result, QString("a"));
        QCOMPARE(server->requestCount(), 2);
        const auto gap = server->requests().at(1).arrivedAt - server->requests().at(0).arrivedAt;
        QVERIFY2(
            gap >= std::chrono::milliseconds(pauseMs),
            qPrintable(QString::number(std::chrono::duration_cast<std::chrono::milliseconds>(gap).count())));
        const QRegularExpression latency("latencyMs=(\\d+)");
        QVERIFY(latency.match(lines().at(1)).hasMatch());
    }

    void capabilities_data() {
        QTest::addColumn<HttpFixtureReply>("reply");
        QTest::addColumn<QString>("expectedLine");
        QTest::addColumn<bool>("expectedFlag");

        QTest::newRow("with model")
            << ok(R"({"formatting_provider":"openai","formatting_model":"m-1","supports_audio_formatting":false,"x":1})")
            << "AIFormatterService: capabilities provider=openai model=m-1 supportsAudioFormatting=false "
               "latencyMs=0"
            << false;
        QTest::newRow("without model")
            << ok(R"({"formatting_provider":"local","supports_audio_formatting":false})")
            << "AIFormatterService: capabilities provider=local model=unknown supportsAudioFormatting=false "
               "latencyMs=0"
            << false;
        QTest::newRow("error status keeps the flag")
            << status(503) << "AIFormatterService: capabilities error status=503 latencyMs=0" << true;
        QTest::newRow("missing flag keeps the flag")
            << ok(R"({"formatting_provider":"p"})")
            << "AIFormatterService: capabilities failed latencyMs=0 error=*" << true;
        QTest::newRow("provider of the wrong type")
            << ok(R"({"formatting_provider":1,"supports_audio_formatting":false})")
            << "AIFormatterService: capabilities failed latencyMs=0 error=*" << true;
        QTest::newRow("model of the wrong type")
            << ok(R"({"formatting_provider":"p","formatting_model":false,"supports_audio_formatting":false})")
            << "AIFormatterService: capabilities failed latencyMs=0 error=*" << true;
    }

    void capabilities() {
        QFETCH(HttpFixtureReply, reply);
        QFETCH(QString, expectedLine);
        server->enqueue("/ai/capabilities",
                        ok(R"({"formatting_provider":"p","supports_audio_formatting":true})"));
        probe();
        QVERIFY(formatter->supportsAudioFormatting());
        log->clear();

        server->enqueue("/ai/capabilities", reply);
        probe();

        compareLines(lines(), {expectedLine});
        QTEST(formatter->supportsAudioFormatting(), "expectedFlag");
        QCOMPARE(server->requestCount(), 2);
        QVERIFY(pauses.isEmpty() && scheduler->pendingCount() == 0);
    }

    void capabilitiesWithoutTokenIsSilent() {
        tokens->tokens = {QString()};
        probe();
        QCOMPARE(server->requestCount(), 0);
        QVERIFY(lines().isEmpty());
    }

    void capabilitiesAnswerThatIsNotHttp() {
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkpath("ai"));
        QFile file(folder.filePath("ai/capabilities"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"formatting_provider":"p","supports_audio_formatting":true})");
        file.close();
        formatter->apiBaseURL = QUrl::fromLocalFile(folder.path() + "/");
        probe();
        compareLines(lines(), {"AIFormatterService: capabilities invalid response latencyMs=0"});
        QVERIFY(!formatter->supportsAudioFormatting());
    }

    void configureStartsTheProbeWithoutWaiting() {
        server->enqueue("/base/ai/capabilities",
                        ok(R"({"formatting_provider":"p","supports_audio_formatting":true})").after(100ms));
        formatter->apiBaseURL.reset();
        formatter->accessTokenProvider = nullptr;

        formatter->configure(server->url("/base/"), providerFor(tokens));

        QVERIFY(!formatter->supportsAudioFormatting());
        QVERIFY(lines().isEmpty());
        QTRY_VERIFY(formatter->supportsAudioFormatting());
        QCOMPARE(server->requests().at(0).path, QString("/base/ai/capabilities"));
        compareLines(lines(), {"AIFormatterService: capabilities provider=p model=unknown "
                               "supportsAudioFormatting=true latencyMs=0"});
    }

    void audioConflictClearsTheFlag() {
        server->enqueue("/ai/capabilities",
                        ok(R"({"formatting_provider":"p","supports_audio_formatting":true})"));
        probe();
        QVERIFY(formatter->supportsAudioFormatting());
        server->enqueue("/ai/audio-format", status(409));

        QCOMPARE(run("audio", "T").value_or(nothing), nothing);

        QVERIFY(!formatter->supportsAudioFormatting());
        QCOMPARE(server->requests("/ai/audio-format").size(), 1);
        QCOMPARE(lines().last(),
                 QString("ProTrace id=T audio_format_request_error status=409 latencyMs=0 attempt=1"));
    }

    void audioAnswerIsPostProcessed() {
        server->enqueue("/ai/audio-format", ok(R"({"text":"  Hi Ana. The build is green. Thanks!\r\n"})"));
        const auto result = drive(formatter->formatAudio(wav, AIFormatPreset::email, "T"));
        QVERIFY(result);
        QCOMPARE(result->value_or(nothing), QString("Hi Ana.\n\nThe build is green.\n\nThanks!"));
    }

    void overlappingCallsKeepTheirOwnState() {
        server->setHandler([](const RecordedRequest& request) {
            const QByteArray trace = request.header("X-Voxlet-Trace-Id");
            return ok(R"({"text":")" + trace + R"("})").after(trace == "SLOW" ? 200ms : 0ms);
        });
        auto slow = std::make_shared<std::optional<QString>>();
        auto fast = std::make_shared<std::optional<QString>>();
        auto a = formatter->formatText("one", AIFormatPreset::message, "SLOW").then([slow](QString t) {
            *slow = t;
        });
        auto b = formatter->formatText("two", AIFormatPreset::message, "FAST").then([fast](QString t) {
            *fast = t;
        });
        QTRY_VERIFY(*slow && *fast);
        QCOMPARE(**slow, QString("SLOW"));
        QCOMPARE(**fast, QString("FAST"));
    }

    void traceIdentifiers() {
        const QRegularExpression shape("^[0-9A-F]{8}$");
        const QString first = makeTraceId();
        QVERIFY2(shape.match(first).hasMatch(), qPrintable(first));
        QVERIFY(makeTraceId() != first);
    }

private:
    // The headers the client chose, lower-cased, in order: what Qt's HTTP stack adds by itself
    // (host, length, connection, encodings, languages, its user agent) is left out.
    static HttpHeaderList ownHeaders(const RecordedRequest& request) {
        static const QList<QByteArray> transport{
            "host", "content-length", "connection", "accept-encoding", "accept-language", "user-agent"};
        HttpHeaderList own;
        for (const auto& [name, value] : request.headers) {
            if (!transport.contains(name.toLower()))
                own.append({name.toLower(), value});
        }
        return own;
    }
};

QTEST_GUILESS_MAIN(BackendClientsTest)
#include "tst_backend_clients.moc"
