#include "dictation/DictationMode.h"

namespace DictationModes {

QString rawValue(DictationMode mode) {
    switch (mode) {
    case DictationMode::flash:
        return QStringLiteral("flash");
    case DictationMode::pro:
        return QStringLiteral("pro");
    case DictationMode::flashTranslate:
        return QStringLiteral("flashTranslate");
    case DictationMode::proTranslate:
        return QStringLiteral("proTranslate");
    }
    return {};
}

std::optional<DictationMode> fromRawValue(const QString& raw) {
    for (DictationMode mode : allCases)
        if (rawValue(mode) == raw)
            return mode;
    return std::nullopt;
}

bool streamsAudio(DictationMode mode) {
    return mode != DictationMode::pro;
}

QString shortcutName(DictationMode mode) {
    switch (mode) {
    case DictationMode::flash:
        return QStringLiteral("toggleDictation");
    case DictationMode::pro:
        return QStringLiteral("toggleDictationOptionPro");
    case DictationMode::flashTranslate:
    case DictationMode::proTranslate:
        return QStringLiteral("toggleDictationTranslate");
    }
    return {};
}

} // namespace DictationModes
