#include "dictation/FlashFinalization.h"

#include "backend/AIFormatterService.h"
#include "dictation/AppLog.h"
#include "dictation/AppState.h"
#include "dictation/TextHelpers.h"
#include "output/KeyboardManager.h"
#include "realtime/ElevenLabsRealtimeService.h"

#include <QPointer>

#include <algorithm>
#include <chrono>

namespace {

Scheduler::Duration fromSeconds(double seconds) {
    return std::chrono::duration_cast<Scheduler::Duration>(std::chrono::duration<double>(seconds));
}

QString charactersLabel(const QString& text) {
    return QString::number(TextHelpers::characterCount(text)) + QStringLiteral(" chars): ") + text;
}

} // namespace

FlashFinalization::FlashFinalization(AppState& owner, ElevenLabsRealtimeService& service,
                                     DictationContext values)
    : QObject(&owner)
    , state(owner)
    , realtime(service)
    , context(std::move(values)) {}

FlashFinalization::~FlashFinalization() = default;

double FlashFinalization::finalTranscriptWaitSeconds(double audioSeconds) {
    return std::min(20.0, 0.15 * audioSeconds + 5.0);
}

double FlashFinalization::safetyTimeoutSeconds(double audioSeconds) {
    return std::min(30.0, std::max(12.0, audioSeconds + 8.0));
}

void FlashFinalization::start() {
    Scheduler& clock = state.scheduler();
    const double audioSeconds =
        context.recordingStartedAt ? std::max(0.0, clock.secondsSince(*context.recordingStartedAt)) : 0.0;
    const double wait = finalTranscriptWaitSeconds(audioSeconds);
    const double safety = safetyTimeoutSeconds(audioSeconds);

    QPointer<FlashFinalization> self(this);
    realtime.onFinalCommitSent = [self, wait] {
        if (!self || self->waitScheduled)
            return;
        self->waitScheduled = true;
        appLog(QStringLiteral("AppState: Flash final commit sent; waiting up to %1s for realtime transcript")
                   .arg(wait, 0, 'f', 2));
        self->state.scheduler().schedule(fromSeconds(wait), self,
                                         [self] { self->finish(QStringLiteral("final_commit_timeout")); });
    };
    realtime.onFinalCommitCompleted = [self] {
        if (self)
            self->finish(QStringLiteral("final_commit_completed"));
    };
    realtime.commitAudioBuffer();
    clock.schedule(fromSeconds(safety), this,
                   [self] { self->finish(QStringLiteral("connection_or_session_timeout")); });
}

void FlashFinalization::finish(const QString& reason) {
    if (finished)
        return;
    finished = true;
    appLog(QStringLiteral("AppState: Executing Flash typing, reason=") + reason);
    executeFlashModeTyping();
}

void FlashFinalization::executeFlashModeTyping() {
    realtime.onFinalCommitCompleted = nullptr;
    realtime.onTranscriptionCompleted = nullptr;
    realtime.onFinalCommitSent = nullptr;

    const QString text = TextHelpers::trimmed(realtime.accumulatedTranscript());
    appLog(QStringLiteral("AppState: executeFlashModeTyping accumulated (") + charactersLabel(text));
    state.discardRecording(context.dictation);

    if (text.isEmpty()) {
        appLog(QStringLiteral(
            "ElevenLabsRT: No realtime transcription available; skipping batch fallback for Flash mode"));
        realtime.disconnect();
        state.showTranscript(context.dictation, QStringLiteral("Sem transcrição em tempo real"));
        state.showProcessing(context.dictation, false);
        QPointer<AppState> owner(&state);
        const quint64 dictation = context.dictation;
        state.scheduler().schedule(std::chrono::milliseconds(1500), &state, [owner, dictation] {
            if (owner)
                owner->endSession(dictation);
        });
        done(false);
        return;
    }

    if (context.mode == DictationMode::flashTranslate) {
        translateAndType(text);
        return;
    }
    appLog(QStringLiteral("ElevenLabsRT: Typing accumulated transcription"));
    typeAndEnd(text);
}

QCoro::Task<> FlashFinalization::typeAndEnd(QString text) {
    QPointer<FlashFinalization> self(this);
    const bool typed = co_await state.keyboardManager().typeText(text, context.previousApp);
    if (!self)
        co_return;
    realtime.disconnect();
    state.endSession(context.dictation);
    done(typed);
}

QCoro::Task<> FlashFinalization::translateAndType(QString text) {
    QPointer<FlashFinalization> self(this);
    appLog(QStringLiteral("AppState: translateAndType input (") + charactersLabel(text));
    const std::optional<QString> translation =
        co_await state.aiFormatter().translate(text, context.targetLanguage, std::nullopt);
    if (!self)
        co_return;
    QString output = text;
    // An empty translation would type nothing for speech that was heard: the original is better.
    if (translation && !translation->isEmpty()) {
        appLog(QStringLiteral("AppState: translateAndType output (") + charactersLabel(*translation));
        output = *translation;
    } else {
        appLog(QStringLiteral("AppState: Translation failed, typing original text"));
    }
    co_await typeAndEnd(output);
}

void FlashFinalization::done(bool typed) {
    state.releaseRealtimeSession(&realtime);
    Q_EMIT state.dictationFinished(context.dictation, typed);
    deleteLater();
}
