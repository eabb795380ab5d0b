#include "backend/TextProcessor.h"

#include <QRegularExpression>

// The patterns keep the dialect they were first written in; Unicode properties make PCRE2's \b, \s and
// case folding Unicode-aware, as they are there (so "Éh" matches "éhh?" and "é" is a word character).
const QString TextProcessor::leadingFillerPattern =
    QStringLiteral("(?i)^[\\s]*(m|mmm+|aaa+|ooo+|uhm+|humm|hmm|\u00E9hh?|ahh?|ohh?)[,\\.]?[\\s]+");
const QString TextProcessor::fillerPattern =
    QStringLiteral("(?i)\\b(mmm+|aaa+|ooo+|uhm+|humm|hmm|ahh?|ohh?)\\b[,\\.]?");

namespace {

QString removeMatches(const QString& text, const QRegularExpression& expression) {
    if (!expression.isValid())
        return text;
    QString result = text;
    result.remove(expression);
    return result;
}

} // namespace

QString TextProcessor::removeFillerWords(const QString& text) {
    // Compiled once: building these Unicode-aware patterns costs far more than matching a sentence.
    static const QRegularExpression leading(leadingFillerPattern,
                                            QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression anywhere(fillerPattern, QRegularExpression::UseUnicodePropertiesOption);
    QString result = removeMatches(text, leading);
    result = removeMatches(result, anywhere);
    result = result.trimmed();
    // One pass only: a run of three spaces becomes two, as the original clean-up did.
    result.replace(QStringLiteral("  "), QStringLiteral(" "));
    return result;
}
