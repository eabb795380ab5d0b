#pragma once

#include "dictation/AIFormatPreset.h"

#include <QString>
#include <QStringList>

#include <optional>

// Tidies what the backend formatter returns: uniform line breaks, trimmed lines, the dictated text
// instead of an answer that only asks for text, and a paragraph layout for emails.
class AIFormatPostProcessor {
public:
    // The text to type for a formatter answer `result` of `input` in `style` (nothing = no style).
    static QString process(const QString& result, const QString& input, std::optional<AIFormatPreset> style);

    // "\r\n" and "\r" become "\n"; every line and the whole text trimmed; empty lines kept inside.
    static QString normalize(const QString& text);
    // Whether the text is the model asking for the text instead of formatting it.
    static bool isRefusal(const QString& text);
    // Lower case, with diacritics removed, so "Forneça" matches "forneca".
    static QString foldedForComparison(const QString& text);
    // Greeting, body and closing as paragraphs separated by one blank line.
    static QString emailLayout(const QString& text);
    // Sentences ending at ".", "!" or "?" followed by white space or the end of the text.
    static QStringList sentences(const QString& text);

    static const QStringList refusalPhrases;
    static const QStringList greetingPhrases;
    static const QStringList closingPhrases;
    static constexpr int greetingMaxCharacters = 120;
    static constexpr int closingMaxCharacters = 80;
};
