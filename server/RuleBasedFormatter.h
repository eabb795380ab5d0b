#pragma once

#include "dictation/AIFormatPreset.h"

#include <QString>

#include <optional>

// The formatter used when no language-model endpoint is configured: deterministic rules per style
// that do what the style's instruction asks as far as rules can (clean-up, layout, lists, subject).
namespace RuleBasedFormatter {

// The style whose instruction text `customPrompt` is (compared trimmed); nothing for other texts.
std::optional<AIFormatPreset> presetForPrompt(const QString& customPrompt);

QString format(const QString& input, AIFormatPreset preset);

// Filler words removed, spaces collapsed, sentences capitalised and ended with a full stop.
QString cleanUp(const QString& input);

} // namespace RuleBasedFormatter
