#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <span>

struct ps_decoder_s;

// How the recogniser is built: the acoustic model and dictionary, and either the general language
// model or a JSGF grammar (exact on synthetic speech, and much faster).
struct RecognizerModel {
    QString modelDirectory; // holds en-us/ (acoustic model), cmudict-en-us.dict and en-us.lm.bin
    QString grammarPath;    // a JSGF file; empty = the general language model

    static QString defaultModelDirectory();
};

// One pocketsphinx decoder, used from one thread at a time. Audio is 16 kHz mono 16-bit PCM.
class SpeechRecognizer {
public:
    // Nothing, with the reason in `error`, when the model or grammar cannot be loaded.
    static std::unique_ptr<SpeechRecognizer> create(const RecognizerModel& model, QString* error);
    ~SpeechRecognizer();
    SpeechRecognizer(const SpeechRecognizer&) = delete;
    SpeechRecognizer& operator=(const SpeechRecognizer&) = delete;

    // The whole recording as one utterance.
    QString recognize(std::span<const std::int16_t> samples);

    // Streaming: startUtterance, then process() for every chunk; the decoder's voice activity detector
    // says whether speech is going on, hypothesis() is the text so far, endUtterance() the final text.
    bool startUtterance();
    bool process(std::span<const std::int16_t> samples);
    bool inSpeech() const;
    QString hypothesis() const;
    QString endUtterance();
    bool inUtterance() const { return m_inUtterance; }

    // The recogniser's words without its markers (silence, noise, alternative pronunciations).
    static QString cleanHypothesis(const char* raw);

private:
    explicit SpeechRecognizer(ps_decoder_s* decoder);

    ps_decoder_s* m_decoder;
    bool m_inUtterance = false;
};
