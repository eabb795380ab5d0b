#include "StreamingTranscriber.h"

#include "RecognizerPool.h"

#include <span>

namespace {

// Speech without a pause is still committed now and then: decoding time and memory grow with the
// length of an utterance, and a client should not wait minutes for final text.
constexpr qint64 longestUtteranceSamples = 16000 * 45;

} // namespace

StreamingTranscriber::StreamingTranscriber(RecognizerPool& pool)
    : m_pool(pool) {}

StreamingTranscriber::~StreamingTranscriber() = default;

void StreamingTranscriber::start() {
    QString error;
    bool busy = false;
    m_recognizer = m_pool.acquire(&error, &busy);
    if (!m_recognizer) {
        Q_EMIT unavailable(error, busy);
        return;
    }
    if (!m_recognizer->startUtterance()) {
        m_recognizer.reset();
        Q_EMIT unavailable(QStringLiteral("speech decoder could not start an utterance"), false);
        return;
    }
    Q_EMIT ready();
}

void StreamingTranscriber::process(const QByteArray& pcm16k) {
    if (!m_recognizer)
        return;
    const std::span<const std::int16_t> samples(reinterpret_cast<const std::int16_t*>(pcm16k.constData()),
                                                size_t(pcm16k.size()) / sizeof(std::int16_t));
    if (!m_recognizer->process(samples)) {
        Q_EMIT failed(QStringLiteral("speech decoder rejected the audio"));
        return;
    }
    if (m_recognizer->inSpeech())
        m_utteranceSamples += qint64(samples.size());
    if (m_recognizer->inSpeech() && m_utteranceSamples >= longestUtteranceSamples) {
        m_heardSpeech = true; // fall through to the segment end below
    } else if (m_recognizer->inSpeech()) {
        m_heardSpeech = true;
        const QString partial = m_recognizer->hypothesis();
        if (!partial.isEmpty() && partial != m_lastPartial) {
            m_lastPartial = partial;
            Q_EMIT partialTranscript(partial);
        }
        return;
    }
    if (m_heardSpeech) {
        // Voice activity ended: this stretch of speech is final.
        m_heardSpeech = false;
        m_lastPartial.clear();
        m_utteranceSamples = 0;
        const QString text = m_recognizer->endUtterance();
        m_recognizer->startUtterance();
        if (!text.isEmpty())
            Q_EMIT committedTranscript(text, false);
    }
}

void StreamingTranscriber::commit() {
    if (!m_recognizer) {
        Q_EMIT committedTranscript(QString(), true);
        return;
    }
    m_heardSpeech = false;
    m_lastPartial.clear();
    m_utteranceSamples = 0;
    const QString text = m_recognizer->endUtterance();
    m_recognizer->startUtterance();
    Q_EMIT committedTranscript(text, true);
}
