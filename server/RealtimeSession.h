#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QThread;
class QWebSocket;
class RecognizerPool;
class StreamingTranscriber;

struct RealtimeLimits {
    qint64 maxMessageBytes = 2 * 1024 * 1024;
    qint64 maxChunkAudioBytes = 16000 * 2 * 10;
    qint64 maxSessionAudioSeconds = 30 * 60;
    int idleTimeoutMs = 60'000;
};

// One connection of the realtime proxy: announces the session once a decoder is ready, checks every
// client message, streams the audio to its transcriber and relays partial and committed transcripts.
// Bad input is answered with an error message of the vocabulary and the connection stays open.
class RealtimeSession : public QObject {
    Q_OBJECT
public:
    RealtimeSession(std::unique_ptr<QWebSocket> socket, RecognizerPool& pool, const RealtimeLimits& limits,
                    QString clientLabel, QObject* parent = nullptr);
    ~RealtimeSession() override;

Q_SIGNALS:
    void finished();

private:
    void onText(const QString& text);
    void onBinary(const QByteArray& frame);
    void onReady();
    void onUnavailable(const QString& reason, bool busy);
    void onPartial(const QString& text);
    void onCommitted(const QString& text, bool requested);
    void onFailed(const QString& reason);
    void sendError(const QString& type, const QString& message);
    void send(const QString& text);
    void closeWith(int code, const QString& reason);

    std::unique_ptr<QWebSocket> m_socket;
    RealtimeLimits m_limits;
    QString m_label;
    int m_id;
    QThread* m_thread;
    StreamingTranscriber* m_transcriber;
    QTimer m_idleTimer;
    qint64 m_audioBytes = 0;
    qint64 m_chunks = 0;
    bool m_limitReported = false;
    bool m_closing = false;
};
