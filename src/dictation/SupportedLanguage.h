#pragma once

#include <QList>
#include <QString>

// A target language of the translating mode.
struct SupportedLanguage {
    QString code; // sent to the translation service
    QString flag;
    QString name; // English display name

    bool operator==(const SupportedLanguage&) const = default;
};

namespace SupportedLanguages {

// The 25 target languages, in display order.
const QList<SupportedLanguage>& all();
// The entry whose code equals `code` exactly, else English.
SupportedLanguage selected(const QString& code);

} // namespace SupportedLanguages
