#include "backend/BackendClient.h"

#include "backend/AppConfiguration.h"
#include "backend/NetworkSession.h"
#include "backend/TraceId.h"
#include "dictation/AppLog.h"
#include "dictation/TextHelpers.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

#include <qcoronetworkreply.h>

#include <memory>

namespace {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// Qt reports an HTTP error status through error() as well; only the network-layer and proxy codes
// (below 200) mean that no complete answer arrived.
bool isTransportError(QNetworkReply::NetworkError error) {
    return error != QNetworkReply::NoError && int(error) < 200;
}

} // namespace

BackendClient::BackendClient(Scheduler& scheduler, QObject* parent)
    : QObject(parent)
    , clock(scheduler) {}

QString BackendClient::traceLine(const std::optional<QString>& traceId, const QString& event,
                                 const QString& fields) {
    QString line = QStringLiteral("ProTrace id=") + traceLabel(traceId) + QLatin1Char(' ') + event;
    if (!fields.isEmpty())
        line += QLatin1Char(' ') + fields;
    return line;
}

bool BackendClient::isRetryableStatus(int status) {
    return status == 408 || status == 425 || status == 429 || (status >= 500 && status <= 599);
}

QCoro::Task<std::optional<QNetworkRequest>> BackendClient::buildRequest(Call call) {
    // The fields are read now, before the provider is awaited; the client may be gone afterwards.
    const std::optional<QUrl> base = apiBaseURL;
    const AccessTokenProvider provider = accessTokenProvider;
    if (!base || base->isEmpty() || !provider)
        co_return std::nullopt;
    const std::optional<QString> token = co_await provider();
    if (!token || token->isEmpty())
        co_return std::nullopt;

    QNetworkRequest request(AppConfiguration::appendingPathComponent(*base, call.kind.path));
    request.setTransferTimeout(int(call.timeout.count()));
    // The token travels in headers, which Qt would copy onto a redirected request: never let a
    // redirect carry it to another origin.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    const QByteArray bearer = "Bearer " + token->toUtf8();
    request.setRawHeader("Authorization", bearer);
    request.setRawHeader("X-Voxlet-Authorization", bearer);
    if (call.kind.method != "GET")
        request.setRawHeader("Content-Type", call.contentType);
    if (call.traceId && !call.traceId->isEmpty())
        request.setRawHeader("X-Voxlet-Trace-Id", call.traceId->toUtf8());
    co_return request;
}

QCoro::Task<BackendClient::Response> BackendClient::send(QNetworkRequest request, Call call) {
    QPointer<BackendClient> self(this);
    Scheduler& scheduler = clock;
    QNetworkAccessManager& network = sharedNetworkAccessManager();
    const Scheduler::TimePoint start = scheduler.now();
    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        call.kind.method == "GET" ? network.get(request)
                                  : network.sendCustomRequest(request, call.kind.method, call.body));
    co_await reply.get();

    Response response;
    if (!self) {
        // The client went while the request was out; its scheduler may be gone too.
        response.errorDescription = QStringLiteral("the client was closed");
        co_return response;
    }
    response.latencyMs = scheduler.millisecondsSince(start);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (isTransportError(reply->error()) || (!status.isValid() && reply->error() != QNetworkReply::NoError)) {
        response.kind = Response::Kind::TransportFailure;
        response.errorDescription = reply->errorString();
    } else if (!status.isValid()) {
        response.kind = Response::Kind::NotHttp;
    } else {
        response.kind = Response::Kind::Http;
        response.status = status.toInt();
        response.body = reply->readAll();
    }
    co_return response;
}

QCoro::Task<BackendClient::TracedOutcome> BackendClient::performTracedCall(Call call, TraceEvents events,
                                                                           ResultDecoder decoder) {
    QPointer<BackendClient> self(this);
    Scheduler& scheduler = clock;
    const QString& prefix = events.prefix;
    TracedOutcome outcome;

    for (int attempt = 1;; ++attempt) {
        const bool retryAllowed = attempt < call.kind.attempts;
        outcome.finalStatus.reset();

        std::optional<QNetworkRequest> request = co_await buildRequest(call);
        if (!self)
            co_return outcome;
        if (!request) {
            outcome.missingConfiguration = true;
            co_return outcome;
        }

        appLog(traceLine(call.traceId, prefix + QStringLiteral("_request_start"),
                         QStringLiteral("attempt=%1").arg(attempt) + events.startFields));
        const Response response = co_await send(*request, call);
        if (!self)
            co_return outcome;
        const QString latency = QString::number(response.latencyMs);

        bool retry = false;
        switch (response.kind) {
        case Response::Kind::TransportFailure:
            appLog(traceLine(call.traceId, prefix + QStringLiteral("_request_failed"),
                             QStringLiteral("attempt=%1 latencyMs=%2 error=").arg(attempt).arg(latency) +
                                 response.errorDescription));
            retry = retryAllowed;
            break;
        case Response::Kind::NotHttp:
            appLog(traceLine(call.traceId, prefix + QStringLiteral("_request_invalid_response"),
                             QStringLiteral("latencyMs=") + latency));
            break;
        case Response::Kind::Http: {
            outcome.finalStatus = response.status;
            if (response.status < 200 || response.status > 299) {
                QString fields = QStringLiteral("status=%1 latencyMs=%2").arg(response.status).arg(latency);
                if (events.errorLineHasAttempt)
                    fields += QStringLiteral(" attempt=%1").arg(attempt);
                appLog(traceLine(call.traceId, prefix + QStringLiteral("_request_error"), fields));
                retry = retryAllowed && isRetryableStatus(response.status);
                break;
            }
            QString error;
            const std::optional<QString> decoded = decoder(response.body, &error);
            if (!decoded) {
                appLog(traceLine(call.traceId, prefix + QStringLiteral("_request_failed"),
                                 QStringLiteral("attempt=%1 latencyMs=%2 error=").arg(attempt).arg(latency) +
                                     error));
                retry = retryAllowed;
                break;
            }
            const QString text = TextHelpers::trimmed(*decoded);
            appLog(traceLine(call.traceId, prefix + QStringLiteral("_request_done"),
                             QStringLiteral("status=%1 latencyMs=%2 ").arg(response.status).arg(latency) +
                                 events.resultCountField + QLatin1Char('=') +
                                 QString::number(TextHelpers::characterCount(text)) + events.doneSuffix));
            outcome.text = text;
            co_return outcome;
        }
        }

        if (!retry)
            co_return outcome;
        co_await scheduler.sleep(call.kind.retryPause);
        if (!self)
            co_return outcome;
    }
}
