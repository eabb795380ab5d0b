#include "dictation/ProFinalization.h"

#include "audio/AudioManager.h"
#include "backend/AIFormatterService.h"
#include "backend/OpenAITranscriptionService.h"
#include "backend/TraceId.h"
#include "dictation/AppLog.h"
#include "dictation/AppState.h"
#include "dictation/TextHelpers.h"
#include "output/KeyboardManager.h"

#include <QPointer>

#include <algorithm>

ProFinalization::ProFinalization(AppState& owner, DictationContext values)
    : QObject(&owner)
    , state(owner)
    , context(std::move(values)) {}

void ProFinalization::traceLine(const QString& event) {
    appLog(QStringLiteral("ProTrace id=") + trace + QLatin1Char(' ') + event);
}

qint64 ProFinalization::totalMs() const {
    return state.scheduler().millisecondsSince(totalStart);
}

void ProFinalization::start() {
    Scheduler& clock = state.scheduler();
    trace = makeTraceId();
    totalStart = clock.now();
    const double audioSeconds =
        context.recordingStartedAt ? std::max(0.0, clock.secondsSince(*context.recordingStartedAt)) : 0.0;
    const std::optional<QByteArray> wav = state.audioManager().getWAVData();

    traceLine(
        QStringLiteral("total_start mode=%1 transcription=gemini_audio audioSeconds=%2 wavBytes=%3 preset=%4 "
                       "targetLanguage=%5")
            .arg(DictationModes::rawValue(context.mode))
            .arg(audioSeconds, 0, 'f', 2)
            .arg(wav ? wav->size() : 0)
            .arg(AIFormatPresets::rawValue(context.preset), context.targetLanguage));

    if (!wav) {
        traceLine(QStringLiteral("no_audio_recorded totalMs=%1").arg(totalMs()));
        state.endSession(context.dictation);
        done(false);
        return;
    }
    recording = *wav;
    state.discardRecording(context.dictation);
    state.queueProcessing(context.dictation, true);
    run();
}

QCoro::Task<> ProFinalization::run() {
    QPointer<ProFinalization> self(this);
    const std::optional<QString> formatted =
        co_await state.aiFormatter().formatAudio(recording, context.preset, trace);
    if (!self)
        co_return;
    bool typed = false;
    // An empty answer would type nothing for a recording that exists: the batch route may still
    // recover the speech.
    if (formatted && !formatted->isEmpty()) {
        typed = co_await typingTail(*formatted);
    } else {
        traceLine(QStringLiteral("audio_format_failed_fallback=batch"));
        typed = co_await batchRoute();
    }
    if (self)
        done(typed);
}

QCoro::Task<bool> ProFinalization::batchRoute() {
    QPointer<ProFinalization> self(this);
    state.queueProcessing(context.dictation, true);
    traceLine(QStringLiteral("coordinator_route provider=ElevenLabs/OpenAI mode=pro audioBytes=%1")
                  .arg(recording.size()));
    const std::optional<QString> transcript =
        co_await state.transcriptionCoordinator().cloudBatchService->transcribe(recording, trace);
    if (!self)
        co_return false;
    if (!transcript) {
        traceLine(QStringLiteral("transcribe_failed totalMs=%1").arg(totalMs()));
        state.showProcessing(context.dictation, false);
        state.endSession(context.dictation);
        co_return false;
    }
    state.showTranscript(context.dictation, *transcript);
    const QString refined = co_await state.aiFormatter().formatText(*transcript, context.preset, trace);
    if (!self)
        co_return false;
    co_return co_await typingTail(refined);
}

QCoro::Task<bool> ProFinalization::typingTail(QString text) {
    QPointer<ProFinalization> self(this);
    state.showProcessing(context.dictation, false);
    state.endSession(context.dictation);
    co_await state.keyboardManager().bringTargetForward(context.previousApp);
    if (!self)
        co_return false;
    const Scheduler::TimePoint typingStart = state.scheduler().now();
    traceLine(QStringLiteral("typing_start outputChars=%1").arg(TextHelpers::characterCount(text)));
    const bool typed = co_await state.keyboardManager().typeText(text, context.previousApp);
    if (!self)
        co_return false;
    traceLine(QStringLiteral("typing_done latencyMs=%1 totalMs=%2")
                  .arg(state.scheduler().millisecondsSince(typingStart))
                  .arg(totalMs()));
    traceLine(
        QStringLiteral("total_done totalMs=%1 words=%2").arg(totalMs()).arg(TextHelpers::wordCount(text)));
    co_return typed;
}

void ProFinalization::done(bool typed) {
    Q_EMIT state.dictationFinished(context.dictation, typed);
    deleteLater();
}
