#pragma once

#include "backend/BackendClient.h"
#include "dictation/AIFormatPreset.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The client of the backend's language-model services: rewrites dictated text or audio in an output
// style, translates transcripts, and learns at start-up whether the backend formats audio.
//
// It never fails loudly: formatText always gives text (the input when the backend gave no usable
// answer); formatAudio and translate give nothing on failure. Reasons are in the log.
class AIFormatterService final : public BackendClient {
    Q_OBJECT

public:
    explicit AIFormatterService(Scheduler& scheduler = Scheduler::shared(), QObject* parent = nullptr);

    // Constants of the program; tests shorten them.
    double timeoutSeconds = 30; // capabilities probe and formatText
    double audioFormatTimeoutSeconds = 45;
    double translateTimeoutSeconds = 35;

    // What the last successful capabilities probe reported; cleared when the backend refuses audio.
    bool supportsAudioFormatting() const { return audioFormatting; }

    // Replaces the base URL and the token provider, then starts the capabilities probe and returns
    // without waiting for it.
    void configure(std::optional<QUrl> baseURL, AccessTokenProvider provider);
    // One probe: silent when there is no base URL or token; any failure keeps the flag as it was.
    QCoro::Task<> refreshCapabilities();

    // The dictated text rewritten in `style` (no style: no instruction is sent), or the input, tidied.
    QCoro::Task<QString> formatText(QString text, std::optional<AIFormatPreset> style,
                                    std::optional<QString> traceId);
    // Text made straight from a WAV recording in `style`, or nothing.
    QCoro::Task<std::optional<QString>> formatAudio(QByteArray audio, AIFormatPreset style,
                                                    std::optional<QString> traceId);
    // The text in the target language (a code such as "en"), trimmed and possibly empty, or nothing.
    QCoro::Task<std::optional<QString>> translate(QString text, QString targetLanguage,
                                                  std::optional<QString> traceId);

Q_SIGNALS:
    void supportsAudioFormattingChanged(bool supported);

private:
    void setSupportsAudioFormatting(bool supported);
    static std::chrono::milliseconds milliseconds(double seconds);
    static void logMissingConfiguration();

    bool audioFormatting = false;
};
