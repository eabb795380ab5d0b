#include "backend/AIFormatPostProcessor.h"

#include "dictation/TextHelpers.h"

const QStringList AIFormatPostProcessor::refusalPhrases{
    QStringLiteral("nao ha texto para limpar"), QStringLiteral("forneca o texto ditado"),
    QStringLiteral("forneca o texto"),          QStringLiteral("por favor forneca"),
    QStringLiteral("preciso do texto"),         QStringLiteral("i need the text"),
    QStringLiteral("please provide the text"),  QStringLiteral("there is no text to clean"),
};

const QStringList AIFormatPostProcessor::greetingPhrases{
    QStringLiteral("bom dia"),
    QStringLiteral("boa tarde"),
    QStringLiteral("boa noite"),
    QStringLiteral("oi"),
    QStringLiteral("olá"),
    QStringLiteral("ola"),
    QStringLiteral("prezado"),
    QStringLiteral("prezada"),
    QStringLiteral("caro"),
    QStringLiteral("cara"),
    QStringLiteral("dear"),
    QStringLiteral("hello"),
    QStringLiteral("hi"),
    QStringLiteral("buenos dias"),
    QStringLiteral("buenas tardes"),
    QStringLiteral("buenas noches"),
    QStringLiteral("hola"),
};

const QStringList AIFormatPostProcessor::closingPhrases{
    QStringLiteral("obrigado"),
    QStringLiteral("obrigada"),
    QStringLiteral("obrigado desde já"),
    QStringLiteral("obrigada desde já"),
    QStringLiteral("atenciosamente"),
    QStringLiteral("abraços"),
    QStringLiteral("abs"),
    QStringLiteral("grato"),
    QStringLiteral("grata"),
    QStringLiteral("thanks"),
    QStringLiteral("thank you"),
    QStringLiteral("regards"),
    QStringLiteral("best regards"),
    QStringLiteral("gracias"),
    QStringLiteral("saludos"),
};

namespace {

bool isSentenceEnd(const QString& character) {
    return character == QLatin1String(".") || character == QLatin1String("!") ||
           character == QLatin1String("?");
}

bool isWhiteSpace(const QString& character) {
    return !character.isEmpty() && TextHelpers::isBlank(character);
}

std::optional<QString> takeGreeting(QStringList& sentences) {
    if (sentences.isEmpty())
        return std::nullopt;
    const QString first = sentences.first();
    const QString lowered = first.toLower();
    bool found = false;
    for (const QString& phrase : AIFormatPostProcessor::greetingPhrases) {
        if (lowered.contains(phrase)) {
            found = true;
            break;
        }
    }
    if (!found || TextHelpers::characterCount(first) > AIFormatPostProcessor::greetingMaxCharacters)
        return std::nullopt;
    sentences.removeFirst();
    return first;
}

std::optional<QString> takeClosing(QStringList& sentences) {
    if (sentences.isEmpty())
        return std::nullopt;
    const QString last = sentences.last();
    QString bare = TextHelpers::trimmed(last);
    const auto isMark = [](QChar c) { return c == QLatin1Char('.') || c == QLatin1Char('!'); };
    while (!bare.isEmpty() && isMark(bare.front()))
        bare.remove(0, 1);
    while (!bare.isEmpty() && isMark(bare.back()))
        bare.chop(1);
    bare = bare.toLower();
    bool found = false;
    for (const QString& phrase : AIFormatPostProcessor::closingPhrases) {
        if (bare == phrase || bare.startsWith(phrase + QLatin1Char(','))) {
            found = true;
            break;
        }
    }
    if (!found || TextHelpers::characterCount(last) > AIFormatPostProcessor::closingMaxCharacters)
        return std::nullopt;
    sentences.removeLast();
    return last;
}

} // namespace

QString AIFormatPostProcessor::normalize(const QString& text) {
    QString unified = text;
    unified.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    unified.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = unified.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = TextHelpers::trimmed(line);
    return TextHelpers::trimmed(lines.join(QLatin1Char('\n')));
}

QString AIFormatPostProcessor::foldedForComparison(const QString& text) {
    const QString decomposed = text.toCaseFolded().normalized(QString::NormalizationForm_D);
    QString folded;
    folded.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        const QChar::Category category = c.category();
        if (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
            category == QChar::Mark_Enclosing)
            continue;
        folded.append(c);
    }
    return folded.toLower();
}

bool AIFormatPostProcessor::isRefusal(const QString& text) {
    const QString probe = foldedForComparison(text);
    for (const QString& phrase : refusalPhrases) {
        if (probe.contains(phrase))
            return true;
    }
    return false;
}

QStringList AIFormatPostProcessor::sentences(const QString& text) {
    const QStringList characters = TextHelpers::characters(text);
    QStringList result;
    QString current;
    for (qsizetype i = 0; i < characters.size(); ++i) {
        current += characters.at(i);
        const bool last = i + 1 == characters.size();
        if (isSentenceEnd(characters.at(i)) && (last || isWhiteSpace(characters.at(i + 1)))) {
            const QString sentence = TextHelpers::trimmed(current);
            if (!sentence.isEmpty())
                result.append(sentence);
            current.clear();
        }
    }
    const QString rest = TextHelpers::trimmed(current);
    if (!rest.isEmpty())
        result.append(rest);
    return result;
}

QString AIFormatPostProcessor::emailLayout(const QString& text) {
    if (text.isEmpty())
        return text;

    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString trimmedLine = TextHelpers::trimmed(line);
        if (!trimmedLine.isEmpty())
            lines.append(trimmedLine);
    }
    if (lines.size() > 2 || text.contains(QLatin1String("\n\n")))
        return lines.join(QLatin1String("\n\n"));

    QStringList list = sentences(text);
    if (list.size() < 2)
        return text;
    const std::optional<QString> greeting = takeGreeting(list);
    const std::optional<QString> closing = takeClosing(list);
    if (!greeting && !closing)
        return text;

    QStringList parts;
    if (greeting)
        parts.append(*greeting);
    const QString body = TextHelpers::trimmed(list.join(QLatin1Char(' ')));
    if (!body.isEmpty())
        parts.append(body);
    if (closing)
        parts.append(*closing);
    return parts.join(QLatin1String("\n\n"));
}

QString AIFormatPostProcessor::process(const QString& result, const QString& input,
                                       std::optional<AIFormatPreset> style) {
    const QString normalized = normalize(result);
    const QString fallback = normalize(input);
    if (isRefusal(normalized))
        return fallback;
    if (style == AIFormatPreset::email)
        return emailLayout(normalized);
    return normalized;
}
