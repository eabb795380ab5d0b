#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class RecognizerPool;
class SpeechRecognizer;

// The recognition side of one realtime connection, living on its own thread so that decoding never
// stalls the server's event loop. Fed 16 kHz PCM; reports provisional text while speech goes on and
// commits a segment when the voice activity detector hears its end, or when asked to.
class StreamingTranscriber : public QObject {
    Q_OBJECT
public:
    explicit StreamingTranscriber(RecognizerPool& pool);
    ~StreamingTranscriber() override;

    // These run on the transcriber's thread (call them through queued invocations).
    void start();
    void process(const QByteArray& pcm16k);
    void commit();

Q_SIGNALS:
    void ready();
    void unavailable(const QString& reason, bool busy);
    void partialTranscript(const QString& text);
    // `requested`: the answer to a commit (sent even when empty) rather than the end of a segment.
    void committedTranscript(const QString& text, bool requested);
    void failed(const QString& reason);

private:
    RecognizerPool& m_pool;
    std::shared_ptr<SpeechRecognizer> m_recognizer;
    bool m_heardSpeech = false;
    qint64 m_utteranceSamples = 0;
    QString m_lastPartial;
};
