#include "RealtimeSession.h"

#include "RecognizerPool.h"
#include "ServerLog.h"
#include "StreamingTranscriber.h"
#include "audio/WavDecoder.h"
#include "dictation/TextHelpers.h"
#include "realtime/RealtimeProtocol.h"

#include <QJsonObject>
#include <QThread>
#include <QWebSocket>

#include <span>

namespace {

int nextSessionId = 1;

} // namespace

RealtimeSession::RealtimeSession(std::unique_ptr<QWebSocket> socket, RecognizerPool& pool,
                                 const RealtimeLimits& limits, QString clientLabel, QObject* parent)
    : QObject(parent)
    , m_socket(std::move(socket))
    , m_limits(limits)
    , m_label(std::move(clientLabel))
    , m_id(nextSessionId++)
    , m_thread(new QThread(this))
    , m_transcriber(new StreamingTranscriber(pool)) {
    // Anything far above the soft limit is refused by the socket itself (close code 1009), so that
    // a hostile client cannot make the server buffer unbounded frames.
    const qint64 hardLimit = m_limits.maxMessageBytes * 2 + 64 * 1024;
    m_socket->setMaxAllowedIncomingMessageSize(quint64(hardLimit));
    m_socket->setMaxAllowedIncomingFrameSize(quint64(hardLimit));

    m_transcriber->moveToThread(m_thread);
    connect(m_transcriber, &StreamingTranscriber::ready, this, &RealtimeSession::onReady);
    connect(m_transcriber, &StreamingTranscriber::unavailable, this, &RealtimeSession::onUnavailable);
    connect(m_transcriber, &StreamingTranscriber::partialTranscript, this, &RealtimeSession::onPartial);
    connect(m_transcriber, &StreamingTranscriber::committedTranscript, this, &RealtimeSession::onCommitted);
    connect(m_transcriber, &StreamingTranscriber::failed, this, &RealtimeSession::onFailed);
    m_thread->setObjectName(QStringLiteral("realtime-%1").arg(m_id));
    m_thread->start();

    connect(m_socket.get(), &QWebSocket::textMessageReceived, this, &RealtimeSession::onText);
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this, &RealtimeSession::onBinary);
    connect(m_socket.get(), &QWebSocket::disconnected, this, [this] {
        serverLog(QStringLiteral("Realtime: session %1 closed (code %2) after chunks=%3 bytes=%4")
                      .arg(m_id)
                      .arg(int(m_socket->closeCode()))
                      .arg(m_chunks)
                      .arg(m_audioBytes));
        Q_EMIT finished();
    });

    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(m_limits.idleTimeoutMs);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] {
        serverLog(QStringLiteral("Realtime: session %1 idle for %2 ms, closing")
                      .arg(m_id)
                      .arg(m_limits.idleTimeoutMs));
        closeWith(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("idle timeout"));
    });
    m_idleTimer.start();

    serverLog(QStringLiteral("Realtime: session %1 opened for %2").arg(m_id).arg(m_label));
    QMetaObject::invokeMethod(m_transcriber, &StreamingTranscriber::start, Qt::QueuedConnection);
}

RealtimeSession::~RealtimeSession() {
    m_thread->quit();
    m_thread->wait();
    delete m_transcriber;
}

void RealtimeSession::send(const QString& text) {
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->sendTextMessage(text);
}

void RealtimeSession::sendError(const QString& type, const QString& message) {
    serverLog(QStringLiteral("Realtime: session %1 %2: %3").arg(m_id).arg(type, message));
    send(RealtimeProtocol::encodeError(type, message));
}

void RealtimeSession::closeWith(int code, const QString& reason) {
    if (m_closing)
        return;
    m_closing = true;
    m_socket->close(QWebSocketProtocol::CloseCode(code), reason);
}

void RealtimeSession::onReady() {
    const QJsonObject config{{QStringLiteral("sample_rate"), RealtimeProtocol::wireSampleRate},
                             {QStringLiteral("audio_format"), QStringLiteral("pcm_16000")},
                             {QStringLiteral("language_code"), QStringLiteral("en")},
                             {QStringLiteral("model_id"), QStringLiteral("voxlet-local")},
                             {QStringLiteral("vad_commit_strategy"), true}};
    serverLog(QStringLiteral("Realtime: session %1 started").arg(m_id));
    send(RealtimeProtocol::encodeSessionStarted(config));
}

void RealtimeSession::onUnavailable(const QString& reason, bool busy) {
    sendError(busy ? QStringLiteral("resource_exhausted") : QStringLiteral("transcriber_error"), reason);
    closeWith(busy ? 1013 : 1011, reason.left(100)); // try again later, or internal error
}

void RealtimeSession::onPartial(const QString& text) {
    send(RealtimeProtocol::encodePartialTranscript(text));
}

void RealtimeSession::onCommitted(const QString& text, bool requested) {
    serverLog(QStringLiteral("Realtime: session %1 committed chars=%2 reason=%3")
                  .arg(m_id)
                  .arg(TextHelpers::characterCount(text))
                  .arg(requested ? QStringLiteral("commit") : QStringLiteral("voice_activity")));
    send(RealtimeProtocol::encodeCommittedTranscript(text));
}

void RealtimeSession::onFailed(const QString& reason) {
    sendError(QStringLiteral("transcriber_error"), reason);
}

void RealtimeSession::onBinary(const QByteArray& frame) {
    const std::optional<QString> text = RealtimeProtocol::textOfBinaryFrame(frame);
    if (!text) {
        m_idleTimer.start();
        sendError(QStringLiteral("input_error"), QStringLiteral("binary frame is not UTF-8 text"));
        return;
    }
    onText(*text);
}

void RealtimeSession::onText(const QString& text) {
    if (m_closing)
        return;
    m_idleTimer.start();
    if (qint64(text.size()) > m_limits.maxMessageBytes) {
        sendError(QStringLiteral("chunk_size_exceeded"), QStringLiteral("message of %1 characters exceeds %2")
                                                             .arg(text.size())
                                                             .arg(m_limits.maxMessageBytes));
        return;
    }
    const RealtimeProtocol::ClientMessageDecoding decoded = RealtimeProtocol::decodeClientMessage(text);
    if (!decoded.message) {
        sendError(QStringLiteral("input_error"), decoded.error);
        return;
    }
    const RealtimeProtocol::ClientMessage& message = *decoded.message;
    QByteArray pcm = message.audio;
    if (pcm.size() % 2 != 0) {
        sendError(QStringLiteral("input_error"), QStringLiteral("audio is not whole 16-bit samples"));
        return;
    }
    if (!pcm.isEmpty() && message.sampleRate && *message.sampleRate != RealtimeProtocol::wireSampleRate) {
        const double rate = *message.sampleRate;
        if (rate < 8000 || rate > 48000 || rate != std::floor(rate)) {
            sendError(QStringLiteral("input_error"), QStringLiteral("unsupported sample_rate %1").arg(rate));
            return;
        }
        const std::span<const std::int16_t> in(reinterpret_cast<const std::int16_t*>(pcm.constData()),
                                               size_t(pcm.size()) / 2);
        const std::vector<std::int16_t> out =
            WavDecoder::resample(in, int(rate), RealtimeProtocol::wireSampleRate);
        pcm = QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size() * 2));
    }
    if (pcm.size() > m_limits.maxChunkAudioBytes) {
        sendError(QStringLiteral("chunk_size_exceeded"), QStringLiteral("chunk of %1 audio bytes exceeds %2")
                                                             .arg(pcm.size())
                                                             .arg(m_limits.maxChunkAudioBytes));
        return;
    }
    if (!pcm.isEmpty()) {
        const qint64 limitBytes = m_limits.maxSessionAudioSeconds * RealtimeProtocol::wireSampleRate * 2;
        if (m_audioBytes + pcm.size() > limitBytes) {
            if (!m_limitReported)
                sendError(QStringLiteral("session_time_limit_exceeded"),
                          QStringLiteral("a connection may stream %1 s of audio")
                              .arg(m_limits.maxSessionAudioSeconds));
            m_limitReported = true;
        } else {
            m_audioBytes += pcm.size();
            ++m_chunks;
            if (m_chunks == 1 || m_chunks % 25 == 0)
                serverLog(QStringLiteral("Realtime: session %1 received chunks=%2 bytes=%3")
                              .arg(m_id)
                              .arg(m_chunks)
                              .arg(m_audioBytes));
            QMetaObject::invokeMethod(
                m_transcriber, [t = m_transcriber, pcm] { t->process(pcm); }, Qt::QueuedConnection);
        }
    }
    if (message.commit)
        QMetaObject::invokeMethod(m_transcriber, &StreamingTranscriber::commit, Qt::QueuedConnection);
}
