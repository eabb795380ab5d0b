#pragma once

#include "backend/AccessTokenProvider.h"
#include "backend/BackendCallKind.h"
#include "platform/Scheduler.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

#include <qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

// The rules every call to the Voxlet backend follows: where it goes, how it is authorised and tagged,
// how long it may take, how often it is tried, how the answer is judged and how each step is logged.
// The batch transcription and formatter clients derive from it and add their bodies and log events.
//
// Calls run as coroutines on the GUI thread; they never throw and never block it. Pauses before a
// retry go through the scheduler given at construction.
class BackendClient : public QObject {
    Q_OBJECT

public:
    // Read afresh whenever a request is built, so a change applies to the next attempt.
    std::optional<QUrl> apiBaseURL;
    AccessTokenProvider accessTokenProvider;

    Scheduler& scheduler() const { return clock; }

protected:
    explicit BackendClient(Scheduler& scheduler, QObject* parent = nullptr);

    // What is sent, apart from the token.
    struct Call {
        BackendCallKind kind;
        std::chrono::milliseconds timeout{0};
        QByteArray body;                // POST only
        QByteArray contentType;         // POST only
        std::optional<QString> traceId; // sent as a header only when present and not empty
    };

    // The outcome of one request that was sent.
    struct Response {
        enum class Kind {
            TransportFailure, // no answer: connection error, time-out, cancelled transfer
            NotHttp,          // an answer that carries no HTTP status
            Http,
        };
        Kind kind = Kind::TransportFailure;
        int status = 0;
        QByteArray body;
        QString errorDescription; // Qt's error text, for TransportFailure
        qint64 latencyMs = 0;
    };

    // The log events of one traced call kind, e.g. prefix "format_request".
    struct TraceEvents {
        QString prefix;
        // Fields of the start line after "attempt=<n>", each with its leading space.
        QString startFields;
        // Name of the done line's count of result characters ("outputChars", "transcriptChars").
        QString resultCountField;
        // Appended to the done line, with its leading space (" targetLanguage=de"), or empty.
        QString doneSuffix;
        // Whether the error line ends with " attempt=<n>".
        bool errorLineHasAttempt = true;
    };

    // Extracts the result text from a 2xx body; nothing (and a description in `error`) when the body
    // does not decode as the call's response type.
    using ResultDecoder = std::function<std::optional<QString>(const QByteArray& body, QString* error)>;

    struct TracedOutcome {
        std::optional<QString> text;       // the decoded text, trimmed; nothing on failure
        bool missingConfiguration = false; // the request could not be built: no base URL or token
        std::optional<int> finalStatus;    // the HTTP status of the last answer, if there was one
    };

    // Builds a request for one attempt: nothing, without a line in the log, when the base URL, the
    // provider or a non-empty token is missing.
    QCoro::Task<std::optional<QNetworkRequest>> buildRequest(Call call);
    // Sends a built request once on the shared HTTP client and waits for the whole answer.
    QCoro::Task<Response> send(QNetworkRequest request, Call call);
    // A traced call with its attempts, pause, status classes and "ProTrace" lines.
    QCoro::Task<TracedOutcome> performTracedCall(Call call, TraceEvents events, ResultDecoder decoder);

    static QString traceLine(const std::optional<QString>& traceId, const QString& event,
                             const QString& fields);
    static bool isRetryableStatus(int status);

private:
    Scheduler& clock;
};
