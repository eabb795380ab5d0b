#include "dictation/SupportedLanguage.h"

namespace SupportedLanguages {

const QList<SupportedLanguage>& all() {
    static const QList<SupportedLanguage> languages = [] {
        struct Row {
            const char* code;
            const char16_t* flag;
            const char* name;
        };
        static const Row rows[] = {
            {"en", u"\U0001F1FA\U0001F1F8", "English"},    {"es", u"\U0001F1EA\U0001F1F8", "Spanish"},
            {"fr", u"\U0001F1EB\U0001F1F7", "French"},     {"de", u"\U0001F1E9\U0001F1EA", "German"},
            {"it", u"\U0001F1EE\U0001F1F9", "Italian"},    {"pt", u"\U0001F1E7\U0001F1F7", "Portuguese"},
            {"ja", u"\U0001F1EF\U0001F1F5", "Japanese"},   {"zh", u"\U0001F1E8\U0001F1F3", "Chinese"},
            {"ko", u"\U0001F1F0\U0001F1F7", "Korean"},     {"ru", u"\U0001F1F7\U0001F1FA", "Russian"},
            {"ar", u"\U0001F1F8\U0001F1E6", "Arabic"},     {"nl", u"\U0001F1F3\U0001F1F1", "Dutch"},
            {"pl", u"\U0001F1F5\U0001F1F1", "Polish"},     {"tr", u"\U0001F1F9\U0001F1F7", "Turkish"},
            {"sv", u"\U0001F1F8\U0001F1EA", "Swedish"},    {"da", u"\U0001F1E9\U0001F1F0", "Danish"},
            {"no", u"\U0001F1F3\U0001F1F4", "Norwegian"},  {"fi", u"\U0001F1EB\U0001F1EE", "Finnish"},
            {"el", u"\U0001F1EC\U0001F1F7", "Greek"},      {"he", u"\U0001F1EE\U0001F1F1", "Hebrew"},
            {"hi", u"\U0001F1EE\U0001F1F3", "Hindi"},      {"th", u"\U0001F1F9\U0001F1ED", "Thai"},
            {"vi", u"\U0001F1FB\U0001F1F3", "Vietnamese"}, {"id", u"\U0001F1EE\U0001F1E9", "Indonesian"},
            {"ms", u"\U0001F1F2\U0001F1FE", "Malay"},
        };
        QList<SupportedLanguage> list;
        for (const Row& row : rows)
            list.append(
                {QString::fromLatin1(row.code), QString::fromUtf16(row.flag), QString::fromLatin1(row.name)});
        return list;
    }();
    return languages;
}

SupportedLanguage selected(const QString& code) {
    for (const SupportedLanguage& language : all())
        if (language.code == code)
            return language;
    return all().first();
}

} // namespace SupportedLanguages
