#pragma once

#include <QString>

#include <array>
#include <optional>

// How a dictation turns speech into text.
enum class DictationMode { flash, pro, flashTranslate, proTranslate };

namespace DictationModes {

inline constexpr std::array<DictationMode, 4> allCases{
    DictationMode::flash, DictationMode::pro, DictationMode::flashTranslate, DictationMode::proTranslate};

QString rawValue(DictationMode mode);
std::optional<DictationMode> fromRawValue(const QString& raw);
// Whether the recording is streamed to the realtime client while the user speaks.
bool streamsAudio(DictationMode mode);
// The global shortcut whose release ends a dictation of this mode.
QString shortcutName(DictationMode mode);

} // namespace DictationModes
