#pragma once

#include "backend/AccessTokenProvider.h"
#include "platform/Scheduler.h"
#include "realtime/CommittedTranscriptAccumulator.h"
#include "realtime/RealtimeProtocol.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcorotask.h>

#include <atomic>
#include <functional>
#include <optional>

class QWebSocket;

// One streaming transcription session per dictation over the realtime proxy's WebSocket: queues the
// captured audio until the proxy announces the session, then streams it, sends the final commit, merges
// the committed transcripts and reports through the on* callbacks. Reconnects once after a transport
// failure.
//
// Everything runs on the thread that owns the object (the GUI thread) except sendAudio, which the
// capture thread calls. The capture thread must stop calling sendAudio before the object is destroyed.
class ElevenLabsRealtimeService : public QObject {
    Q_OBJECT

public:
    explicit ElevenLabsRealtimeService(Scheduler& scheduler = Scheduler::shared(), QObject* parent = nullptr);
    ~ElevenLabsRealtimeService() override;

    // Backend API base URL; the socket lives at its "ai/realtime".
    std::optional<QUrl> proxyBaseURL;
    AccessTokenProvider accessTokenProvider;

    // Called on the owner's thread; an unset callback is not called.
    std::function<void(const QString& text)> onTranscriptionDelta;
    std::function<void(const QString& transcript)> onTranscriptionCompleted;
    std::function<void(bool connected)> onConnectionStateChanged;
    std::function<void()> onVADSpeechEnded;
    std::function<void()> onFinalCommitCompleted;
    std::function<void()> onFinalCommitSent;
    std::function<void(const QString& message)> onConnectionFailed;

    // Starts a new session for chunks at `sourceSampleRate` Hz, replacing any current one; returns at once.
    void connect(double sourceSampleRate);
    // One chunk of 16-bit little-endian mono PCM at the source rate. Safe to call from the capture thread;
    // chunks reach the socket in the order of the calls.
    void sendAudio(const QByteArray& chunk);
    // Requests the final commit (end of speech); it waits for the session when that has not started.
    void commitAudioBuffer();
    // Ends the session and forgets its queue and transcript. Read accumulatedTranscript() before.
    void disconnect();

    static constexpr double targetSampleRate = RealtimeProtocol::wireSampleRate;

    struct AudioCounters {
        qint64 receivedAudioChunkCount = 0;
        qint64 queuedAudioChunkCount = 0;
        qint64 sentAudioChunkCount = 0;
        qint64 queuedAudioBytes = 0;
        qint64 sentAudioBytes = 0;
    };
    AudioCounters audioCounters() const;

    bool isConnected() const { return connected.load(std::memory_order_relaxed); }
    bool isSessionStarted() const;
    bool awaitingFinalCommit() const { return awaitingFinal; }
    bool pendingFinalCommit() const { return pendingFinal; }
    bool hasRetriedConnection() const { return retriedConnection; }
    qsizetype pendingAudioChunkCount() const;
    double sourceSampleRate() const { return sourceRate.load(std::memory_order_relaxed); }
    const QString& accumulatedTranscript() const { return accumulator.accumulatedTranscript(); }

private:
    // A resampled chunk waiting for the session, already encoded for the wire.
    struct QueuedChunk {
        qsizetype bytes = 0;
        QString message;
    };

    QCoro::Task<> establishConnection(quint64 generation, bool isRetry);
    QCoro::Task<std::optional<RealtimeProtocol::OpeningRequest>> buildRequest(quint64 generation);
    void openSocket(const RealtimeProtocol::OpeningRequest& request);
    void retireSocket(QWebSocket* socket, bool closeNormally);
    bool isCurrent(const QWebSocket* socket) const;

    void handleOpened(QWebSocket* socket);
    void handleClosed(QWebSocket* socket);
    void handleFailure(QWebSocket* socket, const QString& description);
    void handleMessage(QWebSocket* socket, const QString& text);
    void handleSessionStarted(const RealtimeProtocol::ServerMessage& message);
    void handleCommittedTranscript(const QString& text);
    void handleErrorMessage(const RealtimeProtocol::ServerMessage& message);

    // Ends the "started" state. Chunks already handed over go to the socket they were meant for while it
    // can still take them, and are dropped with a broken one.
    void endSessionStarted(bool socketUsable);
    // Sends, in order, the chunks taken from the queue at session start, then those the capture thread
    // handed over. Every send from the owner's thread runs this first, so nothing overtakes older audio.
    void sendBacklog();
    void sendFinalCommit(const QString& reason);
    void sendText(const QString& message);
    QString countersDescription() const;
    void post(std::function<void()> action);

    Scheduler& scheduler;
    QPointer<QWebSocket> webSocketTask;
    // Changed by connect and disconnect, so that work of a cancelled connection ends at its next step.
    quint64 connectionGeneration = 0;

    std::atomic<bool> connected{false};
    bool awaitingFinal = false;
    bool pendingFinal = false;
    bool retriedConnection = false;
    std::optional<Scheduler::TimePoint> connectStartedAt;
    std::optional<Scheduler::TimePoint> finalCommitSentAt;
    std::atomic<double> sourceRate{48000};
    CommittedTranscriptAccumulator accumulator;
    // Taken from the queue at session start and not yet sent (owner's thread only).
    QList<QueuedChunk> flushing;

    // Shared with the capture thread.
    mutable QMutex audioMutex;
    bool sessionStarted = false;
    QList<QueuedChunk> pendingAudioChunks;
    // Encoded chunks the capture thread handed over for sending, oldest first.
    QList<QString> outbox;
    bool outboxDrainPosted = false;
    AudioCounters counters;
};
