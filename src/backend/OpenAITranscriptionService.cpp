#include "backend/OpenAITranscriptionService.h"

#include "backend/BackendMessages.h"
#include "dictation/AppLog.h"

#include <QPointer>

OpenAITranscriptionService::OpenAITranscriptionService(Scheduler& scheduler, QObject* parent)
    : BackendClient(scheduler, parent) {}

QCoro::Task<std::optional<QString>> OpenAITranscriptionService::transcribe(QByteArray wav,
                                                                           std::optional<QString> traceId) {
    Call call;
    call.kind = BackendCallKind::transcribe();
    call.timeout = std::chrono::milliseconds(qint64(timeoutSeconds * 1000));
    call.body = wav;
    call.contentType = "audio/wav";
    call.traceId = traceId;

    TraceEvents events;
    events.prefix = QStringLiteral("transcribe");
    events.startFields = QStringLiteral(" audioBytes=%1 endpoint=/ai/transcribe").arg(wav.size());
    events.resultCountField = QStringLiteral("transcriptChars");
    events.errorLineHasAttempt = false;

    const TracedOutcome outcome = co_await performTracedCall(
        std::move(call), std::move(events), [](const QByteArray& body, QString* error) {
            const std::optional<TranscriptionResponse> response = TranscriptionResponse::decode(body, error);
            return response ? std::optional<QString>(response->transcript) : std::nullopt;
        });
    if (outcome.missingConfiguration) {
        appLog(traceLine(
            traceId, QStringLiteral("transcribe_request_missing_backend_configuration_or_access_token"), {}));
        appLog(traceLine(traceId, QStringLiteral("transcribe_request_skipped"),
                         QStringLiteral("reason=missing_access_token_or_api_url")));
    }
    co_return outcome.text;
}
