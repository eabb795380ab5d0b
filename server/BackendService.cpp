#include "BackendService.h"

#include "AuthService.h"
#include "BackendConfig.h"
#include "ChatCompletionClient.h"
#include "HttpServer.h"
#include "RecognizerPool.h"
#include "RuleBasedFormatter.h"
#include "ServerLog.h"
#include "audio/WavDecoder.h"
#include "dictation/SupportedLanguage.h"
#include "dictation/TextHelpers.h"

#include <QElapsedTimer>
#include <QJsonDocument>

namespace {

HttpResponse error(int status, const QString& message) {
    return HttpResponse::json(
        status, QJsonObject{{QStringLiteral("error"), message}, {QStringLiteral("status"), status}});
}

std::optional<QJsonObject> jsonBody(const HttpRequest& request) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

QString traceOf(const HttpRequest& request) {
    const QString trace = QString::fromUtf8(request.header("x-voxlet-trace-id")).left(64);
    // Only the characters a trace identifier has reach the log.
    for (QChar c : trace)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_'))
            return QStringLiteral("invalid");
    return trace.isEmpty() ? QStringLiteral("none") : trace;
}

bool isWavMimeType(const QByteArray& type) {
    const QByteArray t = type.split(';').value(0).trimmed().toLower();
    return t.isEmpty() || t == "audio/wav" || t == "audio/x-wav" || t == "audio/wave" ||
           t == "audio/vnd.wave" || t == "application/octet-stream";
}

} // namespace

BackendService::BackendService(const BackendConfig& config, AuthService& auth, RecognizerPool& recognizers,
                               ChatCompletionClient& chat)
    : m_config(config)
    , m_auth(auth)
    , m_recognizers(recognizers)
    , m_chat(chat) {}

void BackendService::registerRoutes(HttpServer& server) {
    using Member = QCoro::Task<HttpResponse> (BackendService::*)(HttpRequest);
    auto bind = [this](Member member) {
        return [this, member](HttpRequest request) { return (this->*member)(std::move(request)); };
    };
    server.route("GET", QStringLiteral("/ai/capabilities"), bind(&BackendService::capabilities));
    server.route("POST", QStringLiteral("/ai/transcribe"), bind(&BackendService::transcribe));
    server.route("POST", QStringLiteral("/ai/format"), bind(&BackendService::format));
    server.route("POST", QStringLiteral("/ai/audio-format"), bind(&BackendService::audioFormat));
    server.route("POST", QStringLiteral("/ai/translate"), bind(&BackendService::translate));
    server.route("GET", QStringLiteral("/api/version"),
                 [this](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return version(request); });
}

std::optional<HttpResponse> BackendService::refuseUnauthorized(const HttpRequest& request) const {
    const AuthService::Check check = m_auth.validateAccessToken(AuthService::bearerToken(request));
    if (check.identity)
        return std::nullopt;
    serverLog(QStringLiteral("Backend: %1 %2 refused: %3")
                  .arg(QString::fromLatin1(request.method), request.path, check.error));
    return error(401, QStringLiteral("Unauthorized: ") + check.error);
}

QCoro::Task<HttpResponse> BackendService::capabilities(HttpRequest request) {
    if (auto refusal = refuseUnauthorized(request))
        co_return *refusal;
    const bool chat = m_chat.isConfigured();
    co_return HttpResponse::json(
        200,
        QJsonObject{{QStringLiteral("formatting_provider"),
                     chat ? QStringLiteral("openai-compatible") : QStringLiteral("voxlet-local-rules")},
                    {QStringLiteral("formatting_model"), chat ? m_chat.model() : QStringLiteral("rules-1")},
                    {QStringLiteral("supports_audio_formatting"), true},
                    {QStringLiteral("supports_translation"), chat},
                    {QStringLiteral("transcription_model"), m_recognizers.modelName()}});
}

QCoro::Task<BackendService::Transcription> BackendService::recognizeWav(QByteArray wav, QString trace) {
    const WavDecodeResult decoded = WavDecoder::decode(wav);
    if (!decoded.audio) {
        serverLog(QStringLiteral("Backend: trace=%1 audio refused: %2").arg(trace, decoded.error));
        co_return Transcription{std::nullopt, 400, QStringLiteral("Invalid WAV audio: ") + decoded.error};
    }
    const double seconds = decoded.audio->seconds();
    const RecognizerPool::Recognition r = co_await m_recognizers.recognize(decoded.audio->samples);
    if (!r.text) {
        serverLog(QStringLiteral("Backend: trace=%1 recognition failed: %2").arg(trace, r.error));
        co_return Transcription{std::nullopt, r.busy ? 503 : 500,
                                QStringLiteral("Speech recognition unavailable: ") + r.error};
    }
    serverLog(
        QStringLiteral(
            "Backend: trace=%1 recognised seconds=%2 sourceRate=%3 channels=%4 chars=%5 processingMs=%6")
            .arg(trace)
            .arg(seconds, 0, 'f', 2)
            .arg(decoded.audio->sourceSampleRate)
            .arg(decoded.audio->sourceChannels)
            .arg(TextHelpers::characterCount(*r.text))
            .arg(r.processingMs));
    co_return Transcription{r.text, 200, {}};
}

QCoro::Task<HttpResponse> BackendService::transcribe(HttpRequest request) {
    if (auto refusal = refuseUnauthorized(request))
        co_return *refusal;
    const QString trace = traceOf(request);
    if (!isWavMimeType(request.header("content-type")))
        co_return error(415, QStringLiteral("Expected a WAV file (Content-Type audio/wav)"));
    const Transcription t = co_await recognizeWav(request.body, trace);
    if (!t.text)
        co_return error(t.status, t.error);
    co_return HttpResponse::json(200, QJsonObject{{QStringLiteral("transcript"), *t.text},
                                                  {QStringLiteral("model"), m_recognizers.modelName()}});
}

QCoro::Task<std::optional<QString>> BackendService::styled(QString input, QString customPrompt,
                                                           QString* failure) {
    if (m_chat.isConfigured()) {
        const QString instruction = TextHelpers::isBlank(customPrompt)
                                        ? AIFormatPresets::prompt(AIFormatPreset::clean)
                                        : customPrompt;
        const ChatCompletionClient::Result r = co_await m_chat.complete(instruction, input);
        if (!r.text)
            *failure = r.error;
        co_return r.text;
    }
    const AIFormatPreset preset =
        RuleBasedFormatter::presetForPrompt(customPrompt).value_or(AIFormatPreset::clean);
    co_return RuleBasedFormatter::format(input, preset);
}

QCoro::Task<HttpResponse> BackendService::format(HttpRequest request) {
    if (auto refusal = refuseUnauthorized(request))
        co_return *refusal;
    const QString trace = traceOf(request);
    const std::optional<QJsonObject> body = jsonBody(request);
    if (!body)
        co_return error(400, QStringLiteral("Body must be a JSON object"));
    const QJsonValue input = body->value(QStringLiteral("input"));
    const QJsonValue prompt = body->value(QStringLiteral("custom_prompt"));
    if (!input.isString())
        co_return error(400, QStringLiteral("'input' must be a string"));
    if (!prompt.isUndefined() && !prompt.isString())
        co_return error(400, QStringLiteral("'custom_prompt' must be a string"));
    QElapsedTimer timer;
    timer.start();
    QString failure;
    const std::optional<QString> text = co_await styled(input.toString(), prompt.toString(), &failure);
    if (!text) {
        serverLog(QStringLiteral("Backend: trace=%1 format failed: %2").arg(trace, failure));
        co_return error(502, QStringLiteral("Formatting failed: ") + failure);
    }
    serverLog(QStringLiteral("Backend: trace=%1 format inputChars=%2 outputChars=%3 latencyMs=%4")
                  .arg(trace)
                  .arg(TextHelpers::characterCount(input.toString()))
                  .arg(TextHelpers::characterCount(*text))
                  .arg(timer.elapsed()));
    co_return HttpResponse::json(200, QJsonObject{{QStringLiteral("text"), *text}});
}

QCoro::Task<HttpResponse> BackendService::audioFormat(HttpRequest request) {
    if (auto refusal = refuseUnauthorized(request))
        co_return *refusal;
    const QString trace = traceOf(request);
    const std::optional<QJsonObject> body = jsonBody(request);
    if (!body)
        co_return error(400, QStringLiteral("Body must be a JSON object"));
    const QJsonValue audio = body->value(QStringLiteral("audio_base64"));
    const QJsonValue mime = body->value(QStringLiteral("mime_type"));
    const QJsonValue prompt = body->value(QStringLiteral("custom_prompt"));
    if (!audio.isString())
        co_return error(400, QStringLiteral("'audio_base64' must be a string"));
    if ((!mime.isUndefined() && !mime.isString()) || (!prompt.isUndefined() && !prompt.isString()))
        co_return error(400, QStringLiteral("'mime_type' and 'custom_prompt' must be strings"));
    const auto wav =
        QByteArray::fromBase64Encoding(audio.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!wav)
        co_return error(400, QStringLiteral("'audio_base64' is not valid Base64"));
    // Audio this service cannot read is a conflict, not a fault of the request: the client then
    // falls back to transcription and text formatting.
    if (!isWavMimeType(mime.toString().toUtf8()))
        co_return error(409, QStringLiteral("Audio formatting supports WAV audio only"));
    const Transcription t = co_await recognizeWav(*wav, trace);
    if (!t.text)
        co_return error(t.status == 503 ? 503 : 409, QStringLiteral("Audio cannot be formatted: ") + t.error);
    QString failure;
    // No words, nothing to style; kept out of a conditional expression, which GCC 12 miscompiles
    // around co_await.
    std::optional<QString> text = QString();
    if (!TextHelpers::isBlank(*t.text))
        text = co_await styled(*t.text, prompt.toString(), &failure);
    if (!text) {
        serverLog(QStringLiteral("Backend: trace=%1 audio format failed: %2").arg(trace, failure));
        co_return error(502, QStringLiteral("Formatting failed: ") + failure);
    }
    co_return HttpResponse::json(200, QJsonObject{{QStringLiteral("text"), *text}});
}

QCoro::Task<HttpResponse> BackendService::translate(HttpRequest request) {
    if (auto refusal = refuseUnauthorized(request))
        co_return *refusal;
    const QString trace = traceOf(request);
    const std::optional<QJsonObject> body = jsonBody(request);
    if (!body)
        co_return error(400, QStringLiteral("Body must be a JSON object"));
    const QJsonValue input = body->value(QStringLiteral("input"));
    const QJsonValue target = body->value(QStringLiteral("target_language"));
    if (!input.isString() || !target.isString() || TextHelpers::isBlank(target.toString()))
        co_return error(400, QStringLiteral("'input' and 'target_language' must be strings"));
    if (!m_chat.isConfigured()) {
        // Not retryable on purpose: without a language model there is nothing to wait for.
        serverLog(QStringLiteral("Backend: trace=%1 translate refused: no language-model endpoint configured")
                      .arg(trace));
        co_return error(
            422, QStringLiteral("Translation needs a language-model endpoint: start voxlet-backend with "
                                "--chat-endpoint"));
    }
    const QString code = target.toString().trimmed();
    QString language = code;
    for (const SupportedLanguage& l : SupportedLanguages::all())
        if (l.code == code)
            language = l.name;
    const QString instruction =
        QStringLiteral("Translate the user's text into %1 (language code %2). Preserve the "
                       "meaning, tone and line breaks. Return only the translation.")
            .arg(language, code);
    const ChatCompletionClient::Result r = co_await m_chat.complete(instruction, input.toString());
    if (!r.text) {
        serverLog(QStringLiteral("Backend: trace=%1 translate failed: %2").arg(trace, r.error));
        co_return error(502, QStringLiteral("Translation failed: ") + r.error);
    }
    co_return HttpResponse::json(
        200, QJsonObject{{QStringLiteral("text"), *r.text}, {QStringLiteral("targetLanguage"), code}});
}

HttpResponse BackendService::version(const HttpRequest&) const {
    QJsonObject record{{QStringLiteral("version"), m_config.releaseVersion},
                       {QStringLiteral("build"), m_config.releaseBuild},
                       {QStringLiteral("download_url"), m_config.releaseDownloadUrl}};
    if (m_config.hasReleaseNotes)
        record.insert(QStringLiteral("release_notes"), m_config.releaseNotes);
    return HttpResponse::json(200, record);
}
