#pragma once

#include <QString>

// Local clean-up of dictated text: hesitation sounds and the double spaces they leave behind.
class TextProcessor {
public:
    // Expects text already trimmed of white space and line breaks.
    static QString removeFillerWords(const QString& text);

    static const QString leadingFillerPattern;
    static const QString fillerPattern;
};
