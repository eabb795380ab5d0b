#pragma once

#include <QString>

#include <array>
#include <optional>

// The output style the backend AI applies to a Pro dictation.
enum class AIFormatPreset { clean, email, subject, list, message, prompt, formal, summary };

namespace AIFormatPresets {

// Declaration order: the order of every style list and menu.
inline constexpr std::array<AIFormatPreset, 8> allCases{
    AIFormatPreset::clean,   AIFormatPreset::email,  AIFormatPreset::subject, AIFormatPreset::list,
    AIFormatPreset::message, AIFormatPreset::prompt, AIFormatPreset::formal,  AIFormatPreset::summary};

QString rawValue(AIFormatPreset preset);
inline QString id(AIFormatPreset preset) {
    return rawValue(preset);
}
std::optional<AIFormatPreset> fromRawValue(const QString& raw);
QString title(AIFormatPreset preset);
QString shortLabel(AIFormatPreset preset);
QString icon(AIFormatPreset preset);
// The icon, one space and the title, as style menus show it ("✨ Clean").
QString menuTitle(AIFormatPreset preset);
// The instruction the backend receives as custom_prompt.
QString prompt(AIFormatPreset preset);

} // namespace AIFormatPresets
