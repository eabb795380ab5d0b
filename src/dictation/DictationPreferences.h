#pragma once

#include "dictation/AIFormatPreset.h"
#include "dictation/DictationMode.h"

#include <QString>

class QSettings;

// The user's mode, style and target language as kept in the user settings across launches.
namespace DictationPreferences {

inline const QString modeKey = QStringLiteral("dictationMode");
inline const QString styleKey = QStringLiteral("aiFormatPreset");
inline const QString languageKey = QStringLiteral("targetLanguage");

// Missing or unknown values give flash, clean and "en"; a stored language code is kept as it is.
DictationMode restoreMode(const QSettings& settings);
AIFormatPreset restoreStyle(const QSettings& settings);
QString restoreLanguage(const QSettings& settings);

void storeMode(QSettings& settings, DictationMode mode);
void storeStyle(QSettings& settings, AIFormatPreset preset);
void storeLanguage(QSettings& settings, const QString& code);

} // namespace DictationPreferences
