#include "realtime/ElevenLabsRealtimeService.h"

#include "dictation/AppLog.h"
#include "dictation/TextHelpers.h"
#include "realtime/RealtimeAudioResampler.h"

#include <QMutexLocker>
#include <QNetworkRequest>
#include <QTimer>
#include <QWebSocket>

namespace {

const QString prefix = QStringLiteral("ElevenLabsRT: ");
const QString authenticationMissing = QStringLiteral("Authentication expired or missing");
// The handshake has no time-out of its own; this one ends a connection attempt that never answers.
const QString openingTimedOut = QStringLiteral("The request timed out.");
// How long a socket closed by the client may take for its closing handshake before it is dropped.
constexpr int closingGraceMs = 5000;

void log(const QString& message) {
    appLog(prefix + message);
}

QString seconds(double value) {
    return QString::number(value, 'f', 2);
}

bool isChatty(qint64 count) {
    return count == 1 || count % 25 == 0;
}

} // namespace

ElevenLabsRealtimeService::ElevenLabsRealtimeService(Scheduler& scheduler, QObject* parent)
    : QObject(parent)
    , scheduler(scheduler) {}

ElevenLabsRealtimeService::~ElevenLabsRealtimeService() = default;

ElevenLabsRealtimeService::AudioCounters ElevenLabsRealtimeService::audioCounters() const {
    QMutexLocker lock(&audioMutex);
    return counters;
}

bool ElevenLabsRealtimeService::isSessionStarted() const {
    QMutexLocker lock(&audioMutex);
    return sessionStarted;
}

qsizetype ElevenLabsRealtimeService::pendingAudioChunkCount() const {
    QMutexLocker lock(&audioMutex);
    return pendingAudioChunks.size();
}

void ElevenLabsRealtimeService::connect(double sampleRate) {
    if (webSocketTask)
        retireSocket(webSocketTask, true);
    webSocketTask = nullptr;
    ++connectionGeneration;

    connected = false;
    awaitingFinal = false;
    pendingFinal = false;
    retriedConnection = false;
    flushing.clear();
    {
        QMutexLocker lock(&audioMutex);
        sessionStarted = false;
        pendingAudioChunks.clear();
        outbox.clear();
        counters = AudioCounters();
        sourceRate = sampleRate;
    }
    accumulator.reset();
    connectStartedAt = scheduler.now();
    finalCommitSentAt.reset();

    log(QStringLiteral("Connecting with sourceSampleRate=") + QString::number(qRound64(sampleRate)));
    establishConnection(connectionGeneration, false);
}

QCoro::Task<> ElevenLabsRealtimeService::establishConnection(quint64 generation, bool isRetry) {
    QPointer<ElevenLabsRealtimeService> self(this);
    const auto request = co_await buildRequest(generation);
    if (!self || generation != connectionGeneration)
        co_return;
    if (!request) {
        if (!isRetry)
            log(QStringLiteral("Cannot connect — missing token or URL"));
        post([this] {
            if (onConnectionStateChanged)
                onConnectionStateChanged(false);
        });
        post([this] {
            if (onConnectionFailed)
                onConnectionFailed(authenticationMissing);
        });
        co_return;
    }
    openSocket(*request);
}

QCoro::Task<std::optional<RealtimeProtocol::OpeningRequest>>
ElevenLabsRealtimeService::buildRequest(quint64 generation) {
    const QString missingToken = QStringLiteral("Missing access token for realtime proxy");
    if (!accessTokenProvider) {
        log(missingToken);
        co_return std::nullopt;
    }
    // The provider may suspend; its copy keeps whatever it captured alive until it is done.
    const AccessTokenProvider provider = accessTokenProvider;
    QPointer<ElevenLabsRealtimeService> self(this);
    const std::optional<QString> token = co_await provider();
    if (!self || generation != connectionGeneration)
        co_return std::nullopt;
    if (!token || token->isEmpty()) {
        log(missingToken);
        co_return std::nullopt;
    }
    auto request = proxyBaseURL ? RealtimeProtocol::openingRequest(*proxyBaseURL, *token) : std::nullopt;
    if (!request) {
        log(QStringLiteral("Missing backend realtime URL"));
        co_return std::nullopt;
    }
    co_return request;
}

void ElevenLabsRealtimeService::openSocket(const RealtimeProtocol::OpeningRequest& request) {
    if (webSocketTask)
        retireSocket(webSocketTask, true);

    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    webSocketTask = socket;

    QObject::connect(socket, &QWebSocket::connected, this, [this, socket] { handleOpened(socket); });
    QObject::connect(socket, &QWebSocket::disconnected, this, [this, socket] { handleClosed(socket); });
    QObject::connect(
        socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
        [this, socket](QAbstractSocket::SocketError) { handleFailure(socket, socket->errorString()); });
    QObject::connect(socket, &QWebSocket::textMessageReceived, this,
                     [this, socket](const QString& text) { handleMessage(socket, text); });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, this,
                     [this, socket](const QByteArray& frame) {
                         if (auto text = RealtimeProtocol::textOfBinaryFrame(frame))
                             handleMessage(socket, *text);
                     });

    scheduler.schedule(request.timeout, socket, [this, socket] {
        if (isCurrent(socket) && socket->state() != QAbstractSocket::ConnectedState)
            handleFailure(socket, openingTimedOut);
    });

    QNetworkRequest networkRequest(request.url);
    for (const auto& [name, value] : request.headers)
        networkRequest.setRawHeader(name, value);
    socket->open(networkRequest);
}

void ElevenLabsRealtimeService::retireSocket(QWebSocket* socket, bool closeNormally) {
    // From here on nothing the socket reports reaches this session.
    QObject::disconnect(socket, nullptr, this, nullptr);
    if (closeNormally && socket->state() == QAbstractSocket::ConnectedState) {
        QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(closingGraceMs, socket, &QObject::deleteLater);
        socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        return;
    }
    // A refused upgrade leaves the socket connecting; abort it once its own signal has returned.
    QMetaObject::invokeMethod(
        socket,
        [socket] {
            socket->abort();
            socket->deleteLater();
        },
        Qt::QueuedConnection);
}

bool ElevenLabsRealtimeService::isCurrent(const QWebSocket* socket) const {
    return socket && socket == webSocketTask.data();
}

void ElevenLabsRealtimeService::handleOpened(QWebSocket* socket) {
    if (!isCurrent(socket))
        return;
    log(QStringLiteral("WebSocket opened"));
    connected = true;
    if (connectStartedAt)
        log(QStringLiteral("WebSocket opened after %1s")
                .arg(seconds(scheduler.secondsSince(*connectStartedAt))));
}

void ElevenLabsRealtimeService::handleClosed(QWebSocket* socket) {
    if (!isCurrent(socket))
        return;
    log(QStringLiteral("WebSocket closed with code %1").arg(int(socket->closeCode())));
    connected = false;
    endSessionStarted(false);
    retireSocket(socket, false);
    webSocketTask = nullptr;
    if (onConnectionStateChanged)
        onConnectionStateChanged(false);
}

void ElevenLabsRealtimeService::handleFailure(QWebSocket* socket, const QString& description) {
    if (!isCurrent(socket))
        return;
    log(QStringLiteral("Connection error: ") + description);
    connected = false;
    endSessionStarted(false);
    retireSocket(socket, false);
    webSocketTask = nullptr;
    const quint64 generation = connectionGeneration;
    if (onConnectionStateChanged)
        onConnectionStateChanged(false);
    if (generation != connectionGeneration)
        return; // the callback started or ended a session itself

    if (!retriedConnection) {
        retriedConnection = true;
        log(QStringLiteral("Retrying connection after transient failure"));
        establishConnection(connectionGeneration, true);
        return;
    }
    post([this, description] {
        if (onConnectionFailed)
            onConnectionFailed(QStringLiteral("Connection failed: ") + description);
    });
}

void ElevenLabsRealtimeService::sendAudio(const QByteArray& chunk) {
    // Resampling and encoding happen before the lock, so the owner's thread never waits for them.
    const QByteArray pcm =
        RealtimeAudioResampler::resample(chunk, sourceRate.load(std::memory_order_relaxed));
    QString message = pcm.isEmpty() ? QString() : RealtimeProtocol::encodeAudioChunk(pcm);

    QString line;
    bool postDrain = false;
    {
        QMutexLocker lock(&audioMutex);
        ++counters.receivedAudioChunkCount;
        if (sessionStarted) {
            ++counters.sentAudioChunkCount;
            counters.sentAudioBytes += pcm.size();
            if (isChatty(counters.sentAudioChunkCount))
                line = QStringLiteral("Sent audio chunks=%1, bytes=%2")
                           .arg(counters.sentAudioChunkCount)
                           .arg(counters.sentAudioBytes);
            if (!message.isEmpty()) {
                outbox.append(std::move(message));
                postDrain = !outboxDrainPosted;
                outboxDrainPosted = true;
            }
        } else {
            pendingAudioChunks.append(QueuedChunk{pcm.size(), std::move(message)});
            ++counters.queuedAudioChunkCount;
            counters.queuedAudioBytes += pcm.size();
            if (isChatty(counters.queuedAudioChunkCount))
                line = QStringLiteral("Queued audio chunks=%1, bytes=%2, sessionStarted=false, connected=%3")
                           .arg(counters.queuedAudioChunkCount)
                           .arg(counters.queuedAudioBytes)
                           .arg(connected.load(std::memory_order_relaxed) ? QStringLiteral("true")
                                                                          : QStringLiteral("false"));
        }
    }
    if (postDrain)
        QMetaObject::invokeMethod(
            this, [this] { sendBacklog(); }, Qt::QueuedConnection);
    if (!line.isEmpty())
        log(line);
}

void ElevenLabsRealtimeService::sendBacklog() {
    QList<QueuedChunk> queued;
    queued.swap(flushing);
    QList<QString> handedOver;
    {
        QMutexLocker lock(&audioMutex);
        handedOver.swap(outbox);
        outboxDrainPosted = false;
    }
    for (const QueuedChunk& chunk : std::as_const(queued))
        if (chunk.bytes > 0)
            sendText(chunk.message);
    for (const QString& message : std::as_const(handedOver))
        sendText(message);
}

void ElevenLabsRealtimeService::endSessionStarted(bool socketUsable) {
    QList<QString> handedOver;
    {
        QMutexLocker lock(&audioMutex);
        if (!sessionStarted)
            return;
        sessionStarted = false;
        if (!socketUsable) {
            handedOver.swap(outbox);
            outboxDrainPosted = false;
        }
    }
    if (socketUsable) {
        sendBacklog();
        return;
    }
    // A broken connection takes no more data: what was on its way to it is lost with it.
    const qsizetype lost = handedOver.size() + flushing.size();
    flushing.clear();
    if (lost > 0)
        log(QStringLiteral("Dropped %1 audio chunks on their way to the closed connection").arg(lost));
}

void ElevenLabsRealtimeService::sendText(const QString& message) {
    QWebSocket* socket = webSocketTask;
    if (!socket)
        return;
    if (socket->state() != QAbstractSocket::ConnectedState) {
        log(QStringLiteral("Send error: the WebSocket is not open"));
        return;
    }
    if (socket->sendTextMessage(message) <= 0)
        log(QStringLiteral("Send error: ") + socket->errorString());
}

void ElevenLabsRealtimeService::commitAudioBuffer() {
    awaitingFinal = true;
    pendingFinal = true;
    if (isConnected() && isSessionStarted())
        sendFinalCommit(QStringLiteral("commitAudioBuffer"));
    else if (isConnected())
        log(QStringLiteral("Queueing commit until session_started"));
    else
        log(QStringLiteral("Queueing commit until socket opens"));
    post([this] {
        if (onVADSpeechEnded)
            onVADSpeechEnded();
    });
}

void ElevenLabsRealtimeService::sendFinalCommit(const QString& reason) {
    pendingFinal = false;
    finalCommitSentAt = scheduler.now();
    log(QStringLiteral("Final commit sent, reason=") + reason);
    log(QStringLiteral("Sending manual commit chunk after ") + countersDescription());
    sendBacklog();
    sendText(RealtimeProtocol::encodeCommit());
    post([this] {
        if (onFinalCommitSent)
            onFinalCommitSent();
    });
}

QString ElevenLabsRealtimeService::countersDescription() const {
    const AudioCounters snapshot = audioCounters();
    return QStringLiteral("receivedChunks=%1, sentChunks=%2, queuedChunks=%3, sentBytes=%4, queuedBytes=%5")
        .arg(snapshot.receivedAudioChunkCount)
        .arg(snapshot.sentAudioChunkCount)
        .arg(snapshot.queuedAudioChunkCount)
        .arg(snapshot.sentAudioBytes)
        .arg(snapshot.queuedAudioBytes);
}

void ElevenLabsRealtimeService::disconnect() {
    // Audio already handed over for sending still goes out before the socket closes.
    endSessionStarted(true);
    connected = false;
    awaitingFinal = false;
    pendingFinal = false;
    {
        QMutexLocker lock(&audioMutex);
        pendingAudioChunks.clear();
    }
    accumulator.reset();
    log(QStringLiteral("Disconnected with ") + countersDescription());

    ++connectionGeneration;
    if (webSocketTask)
        retireSocket(webSocketTask, true);
    webSocketTask = nullptr;
}

void ElevenLabsRealtimeService::handleMessage(QWebSocket* socket, const QString& text) {
    if (!isCurrent(socket))
        return;
    const auto message = RealtimeProtocol::decodeServerMessage(text);
    if (!message) {
        log(QStringLiteral("Failed to decode message: ") + text);
        return;
    }
    using Kind = RealtimeProtocol::ServerMessage::Kind;
    switch (message->kind) {
    case Kind::SessionStarted:
        handleSessionStarted(*message);
        break;
    case Kind::PartialTranscript:
        if (message->text) {
            log(QStringLiteral("Partial transcript chars=%1")
                    .arg(TextHelpers::characterCount(*message->text)));
            post([this, text = *message->text] {
                if (onTranscriptionDelta)
                    onTranscriptionDelta(text);
            });
        }
        break;
    case Kind::CommittedTranscript:
        if (message->text)
            handleCommittedTranscript(*message->text);
        break;
    case Kind::Error:
        handleErrorMessage(*message);
        break;
    case Kind::InputAudioBuffer:
        if (awaitingFinal) {
            log(QStringLiteral("Received input_audio_buffer while awaiting final transcript"));
            break;
        }
        log(QStringLiteral("Received event ") + message->type);
        break;
    case Kind::Other:
        log(QStringLiteral("Received event ") + message->type);
        break;
    }
}

void ElevenLabsRealtimeService::handleSessionStarted(const RealtimeProtocol::ServerMessage& message) {
    qsizetype queuedCount = 0;
    qint64 queuedBytes = 0;
    QStringList sentLines;
    {
        // The queue is taken in the same step that lets the capture thread send directly, so every chunk
        // is either in it or handed over after it.
        QMutexLocker lock(&audioMutex);
        sessionStarted = true;
        queuedCount = pendingAudioChunks.size();
        queuedBytes = counters.queuedAudioBytes;
        for (const QueuedChunk& chunk : std::as_const(pendingAudioChunks)) {
            if (chunk.bytes == 0)
                continue;
            ++counters.sentAudioChunkCount;
            counters.sentAudioBytes += chunk.bytes;
            if (isChatty(counters.sentAudioChunkCount))
                sentLines.append(QStringLiteral("Sent audio chunks=%1, bytes=%2")
                                     .arg(counters.sentAudioChunkCount)
                                     .arg(counters.sentAudioBytes));
        }
        flushing.append(pendingAudioChunks);
        pendingAudioChunks.clear();
    }
    log(QStringLiteral("Session started with config ") + message.configDescription());
    if (connectStartedAt)
        log(QStringLiteral("Session started after %1s")
                .arg(seconds(scheduler.secondsSince(*connectStartedAt))));
    const quint64 generation = connectionGeneration;
    if (onConnectionStateChanged)
        onConnectionStateChanged(true);
    if (generation != connectionGeneration)
        return; // the callback started or ended a session itself

    if (queuedCount > 0)
        log(QStringLiteral("Flushing %1 queued audio chunks, bytes=%2").arg(queuedCount).arg(queuedBytes));
    for (const QString& line : std::as_const(sentLines))
        log(line);
    sendBacklog();
    if (pendingFinal && isSessionStarted())
        sendFinalCommit(QStringLiteral("session_started"));
}

void ElevenLabsRealtimeService::handleCommittedTranscript(const QString& text) {
    if (TextHelpers::isBlank(text))
        return;
    const QString appended = accumulator.mergeCommittedTranscript(text);
    const QString afterCommit = finalCommitSentAt ? seconds(scheduler.secondsSince(*finalCommitSentAt)) + u's'
                                                  : QStringLiteral("n/a");
    log(QStringLiteral("Committed transcript chars=%1, appendedChars=%2, afterCommit=%3")
            .arg(TextHelpers::characterCount(text))
            .arg(TextHelpers::characterCount(appended))
            .arg(afterCommit));
    awaitingFinal = false;
    post([this, appended, transcript = TextHelpers::trimmed(accumulator.accumulatedTranscript())] {
        if (!appended.isEmpty() && onTranscriptionDelta)
            onTranscriptionDelta(appended);
        if (onTranscriptionCompleted)
            onTranscriptionCompleted(transcript);
        if (!awaitingFinal && onFinalCommitCompleted)
            onFinalCommitCompleted();
    });
}

void ElevenLabsRealtimeService::handleErrorMessage(const RealtimeProtocol::ServerMessage& message) {
    log(QStringLiteral("Received %1: %2").arg(message.type, message.errorMessage));
    if (!awaitingFinal)
        return;
    if (!TextHelpers::isBlank(accumulator.accumulatedTranscript())) {
        log(QStringLiteral("Completing final commit after %1 because transcript is already available")
                .arg(message.type));
        awaitingFinal = false;
        post([this] {
            if (onFinalCommitCompleted)
                onFinalCommitCompleted();
        });
    } else {
        log(QStringLiteral("Ignoring %1 while awaiting final commit because transcript is empty")
                .arg(message.type));
    }
}

void ElevenLabsRealtimeService::post(std::function<void()> action) {
    QMetaObject::invokeMethod(this, std::move(action), Qt::QueuedConnection);
}
