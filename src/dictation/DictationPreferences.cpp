#include "dictation/DictationPreferences.h"

#include <QSettings>

namespace DictationPreferences {

namespace {

QString storedString(const QSettings& settings, const QString& key) {
    const QVariant value = settings.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace

DictationMode restoreMode(const QSettings& settings) {
    return DictationModes::fromRawValue(storedString(settings, modeKey)).value_or(DictationMode::flash);
}

AIFormatPreset restoreStyle(const QSettings& settings) {
    return AIFormatPresets::fromRawValue(storedString(settings, styleKey)).value_or(AIFormatPreset::clean);
}

QString restoreLanguage(const QSettings& settings) {
    if (!settings.contains(languageKey))
        return QStringLiteral("en");
    const QVariant value = settings.value(languageKey);
    return value.typeId() == QMetaType::QString ? value.toString() : QStringLiteral("en");
}

void storeMode(QSettings& settings, DictationMode mode) {
    settings.setValue(modeKey, DictationModes::rawValue(mode));
}

void storeStyle(QSettings& settings, AIFormatPreset preset) {
    settings.setValue(styleKey, AIFormatPresets::rawValue(preset));
}

void storeLanguage(QSettings& settings, const QString& code) {
    settings.setValue(languageKey, code);
}

} // namespace DictationPreferences
