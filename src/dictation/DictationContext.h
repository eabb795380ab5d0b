#pragma once

#include "dictation/AIFormatPreset.h"
#include "dictation/DictationMode.h"
#include "platform/Scheduler.h"
#include "platform/Workspace.h"

#include <QString>

#include <optional>

// What one finalisation knows of its dictation, taken when the user lets go, so that a dictation that
// starts meanwhile cannot change it.
struct DictationContext {
    // Counts dictations since launch; the session controller's state belongs to the newest.
    quint64 dictation = 0;
    DictationMode mode = DictationMode::flash;
    AIFormatPreset preset = AIFormatPreset::clean;
    QString targetLanguage;
    std::optional<RunningApplication> previousApp;
    std::optional<Scheduler::TimePoint> recordingStartedAt;
};
