#pragma once

#include "backend/BackendClient.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Turns a finished recording (a WAV file) into text through the backend's batch transcription. It is
// the fallback of the Pro route when audio formatting yields nothing.
class OpenAITranscriptionService final : public BackendClient {
    Q_OBJECT

public:
    explicit OpenAITranscriptionService(Scheduler& scheduler = Scheduler::shared(),
                                        QObject* parent = nullptr);

    // Time-out of each attempt (a transfer with no progress for this long is abandoned). A constant of
    // the program; tests shorten it.
    double timeoutSeconds = 60;

    // The transcript, trimmed (possibly empty), or nothing when every attempt failed or the client has
    // no base URL or token. The reason is in the log, under the given trace identifier.
    QCoro::Task<std::optional<QString>> transcribe(QByteArray wav, std::optional<QString> traceId);
};
