#include "backend/AIFormatterService.h"

#include "backend/AIFormatPostProcessor.h"
#include "backend/BackendMessages.h"
#include "dictation/AppLog.h"
#include "dictation/TextHelpers.h"

#include <QPointer>

namespace {

std::optional<QString> instructionFor(std::optional<AIFormatPreset> style) {
    if (!style)
        return std::nullopt;
    return TextHelpers::trimmed(AIFormatPresets::prompt(*style));
}

std::optional<QString> formatterText(const QByteArray& body, QString* error) {
    const std::optional<FormatterResponse> response = FormatterResponse::decode(body, error);
    return response ? std::optional<QString>(response->text) : std::nullopt;
}

} // namespace

AIFormatterService::AIFormatterService(Scheduler& scheduler, QObject* parent)
    : BackendClient(scheduler, parent) {}

std::chrono::milliseconds AIFormatterService::milliseconds(double seconds) {
    return std::chrono::milliseconds(qint64(seconds * 1000));
}

void AIFormatterService::logMissingConfiguration() {
    appLog(QStringLiteral("AIFormatterService: Missing backend configuration or access token"));
}

void AIFormatterService::setSupportsAudioFormatting(bool supported) {
    if (audioFormatting == supported)
        return;
    audioFormatting = supported;
    Q_EMIT supportsAudioFormattingChanged(supported);
}

void AIFormatterService::configure(std::optional<QUrl> baseURL, AccessTokenProvider provider) {
    apiBaseURL = std::move(baseURL);
    accessTokenProvider = std::move(provider);
    // Runs on its own until its first wait; the task frees itself when it finishes.
    refreshCapabilities();
}

QCoro::Task<> AIFormatterService::refreshCapabilities() {
    QPointer<AIFormatterService> self(this);
    Call call;
    call.kind = BackendCallKind::capabilities();
    call.timeout = milliseconds(timeoutSeconds);

    std::optional<QNetworkRequest> request = co_await buildRequest(call);
    if (!self || !request)
        co_return;
    const Response response = co_await send(*request, call);
    if (!self)
        co_return;

    const QString latency = QString::number(response.latencyMs);
    switch (response.kind) {
    case Response::Kind::TransportFailure:
        appLog(QStringLiteral("AIFormatterService: capabilities failed latencyMs=") + latency +
               QStringLiteral(" error=") + response.errorDescription);
        co_return;
    case Response::Kind::NotHttp:
        appLog(QStringLiteral("AIFormatterService: capabilities invalid response latencyMs=") + latency);
        co_return;
    case Response::Kind::Http:
        break;
    }
    if (response.status < 200 || response.status > 299) {
        appLog(QStringLiteral("AIFormatterService: capabilities error status=%1 latencyMs=")
                   .arg(response.status) +
               latency);
        co_return;
    }
    QString error;
    const std::optional<CapabilitiesResponse> capabilities =
        CapabilitiesResponse::decode(response.body, &error);
    if (!capabilities) {
        appLog(QStringLiteral("AIFormatterService: capabilities failed latencyMs=") + latency +
               QStringLiteral(" error=") + error);
        co_return;
    }
    setSupportsAudioFormatting(capabilities->supportsAudioFormatting);
    appLog(QStringLiteral("AIFormatterService: capabilities provider=") + capabilities->formattingProvider +
           QStringLiteral(" model=") + capabilities->formattingModel.value_or(QStringLiteral("unknown")) +
           QStringLiteral(" supportsAudioFormatting=") +
           (capabilities->supportsAudioFormatting ? QStringLiteral("true") : QStringLiteral("false")) +
           QStringLiteral(" latencyMs=") + latency);
}

QCoro::Task<QString> AIFormatterService::formatText(QString text, std::optional<AIFormatPreset> style,
                                                    std::optional<QString> traceId) {
    Call call;
    call.kind = BackendCallKind::format();
    call.timeout = milliseconds(timeoutSeconds);
    call.body = FormatterRequest{text, instructionFor(style)}.encode();
    call.contentType = "application/json";
    call.traceId = traceId;

    TraceEvents events;
    events.prefix = QStringLiteral("format");
    events.startFields =
        QStringLiteral(" endpoint=/ai/format inputChars=%1").arg(TextHelpers::characterCount(text));
    events.resultCountField = QStringLiteral("outputChars");

    const TracedOutcome outcome =
        co_await performTracedCall(std::move(call), std::move(events), formatterText);
    if (outcome.missingConfiguration)
        logMissingConfiguration();
    co_return AIFormatPostProcessor::process(outcome.text.value_or(text), text, style);
}

QCoro::Task<std::optional<QString>> AIFormatterService::formatAudio(QByteArray audio, AIFormatPreset style,
                                                                    std::optional<QString> traceId) {
    QPointer<AIFormatterService> self(this);
    Call call;
    call.kind = BackendCallKind::audioFormat();
    call.timeout = milliseconds(audioFormatTimeoutSeconds);
    call.body = AudioFormatRequest{QString::fromLatin1(audio.toBase64()), QStringLiteral("audio/wav"),
                                   instructionFor(style)}
                    .encode();
    call.contentType = "application/json";
    call.traceId = traceId;

    TraceEvents events;
    events.prefix = QStringLiteral("audio_format");
    events.startFields = QStringLiteral(" endpoint=/ai/audio-format audioBytes=%1 preset=%2")
                             .arg(audio.size())
                             .arg(AIFormatPresets::rawValue(style));
    events.resultCountField = QStringLiteral("outputChars");

    const TracedOutcome outcome =
        co_await performTracedCall(std::move(call), std::move(events), formatterText);
    if (outcome.missingConfiguration)
        logMissingConfiguration();
    if (outcome.finalStatus == 409 && self)
        self->setSupportsAudioFormatting(false);
    if (!outcome.text)
        co_return std::nullopt;
    co_return AIFormatPostProcessor::process(*outcome.text, *outcome.text, style);
}

QCoro::Task<std::optional<QString>> AIFormatterService::translate(QString text, QString targetLanguage,
                                                                  std::optional<QString> traceId) {
    Call call;
    call.kind = BackendCallKind::translate();
    call.timeout = milliseconds(translateTimeoutSeconds);
    call.body = TranslateRequest{TextHelpers::trimmed(text), targetLanguage}.encode();
    call.contentType = "application/json";
    call.traceId = traceId;

    TraceEvents events;
    events.prefix = QStringLiteral("translate");
    events.startFields = QStringLiteral(" endpoint=/ai/translate inputChars=%1 targetLanguage=")
                             .arg(TextHelpers::characterCount(text)) +
                         targetLanguage;
    events.resultCountField = QStringLiteral("outputChars");
    events.doneSuffix = QStringLiteral(" targetLanguage=") + targetLanguage;

    const TracedOutcome outcome = co_await performTracedCall(
        std::move(call), std::move(events), [](const QByteArray& body, QString* error) {
            const std::optional<TranslateResponse> response = TranslateResponse::decode(body, error);
            return response ? std::optional<QString>(response->text) : std::nullopt;
        });
    if (outcome.missingConfiguration)
        logMissingConfiguration();
    co_return outcome.text;
}
