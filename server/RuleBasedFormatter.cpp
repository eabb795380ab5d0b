#include "RuleBasedFormatter.h"

#include "backend/TextProcessor.h"
#include "dictation/TextHelpers.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

QString capitalizeFirst(QString text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isLetter()) {
            text[i] = text[i].toUpper();
            break;
        }
        if (!text[i].isPunct() && !text[i].isSpace())
            break;
    }
    return text;
}

bool endsSentence(const QString& s) {
    return s.endsWith(QLatin1Char('.')) || s.endsWith(QLatin1Char('!')) || s.endsWith(QLatin1Char('?')) ||
           s.endsWith(QLatin1Char(':')) || s.endsWith(QChar(0x2026));
}

QStringList sentences(const QString& text) {
    static const QRegularExpression boundary(QStringLiteral("(?<=[.!?])\\s+"));
    QStringList result;
    for (const QString& part : text.split(boundary, Qt::SkipEmptyParts)) {
        const QString t = TextHelpers::trimmed(part);
        if (!t.isEmpty())
            result.append(t);
    }
    return result;
}

QString stripTrailingPunctuation(QString s) {
    while (!s.isEmpty() && (s.back().isPunct() && s.back() != QLatin1Char(')')))
        s.chop(1);
    return TextHelpers::trimmed(s);
}

// The client's clean-up knows its own hesitation sounds; English dictation adds these.
QString removeFillers(const QString& text) {
    static const QRegularExpression english(QStringLiteral("\\b(?:u+m+|u+h+|e+r+m+|e+r+|uhm+)\\b[,.]?\\s*"),
                                            QRegularExpression::CaseInsensitiveOption);
    QString t = TextProcessor::removeFillerWords(TextHelpers::trimmed(text));
    t.replace(english, QString());
    return TextHelpers::trimmed(t);
}

QString cleanLine(const QString& line) {
    QString t = TextHelpers::trimmed(line);
    if (t.isEmpty())
        return t;
    t = removeFillers(t);
    static const QRegularExpression spaces(QStringLiteral("[ \\t]{2,}"));
    static const QRegularExpression spaceBeforePunct(QStringLiteral("\\s+([,.;:!?])"));
    t.replace(spaces, QStringLiteral(" "));
    t.replace(spaceBeforePunct, QStringLiteral("\\1"));
    t = TextHelpers::trimmed(t);
    if (t.isEmpty())
        return t;
    static const QRegularExpression standaloneI(QStringLiteral("\\bi\\b"));
    t.replace(standaloneI, QStringLiteral("I"));
    QStringList out;
    for (const QString& s : sentences(t))
        out.append(capitalizeFirst(s));
    QString joined = out.join(QLatin1Char(' '));
    if (!endsSentence(joined))
        joined += QLatin1Char('.');
    return joined;
}

QString formalize(QString text) {
    static const QList<std::pair<QString, QString>> contractions{
        {QStringLiteral("can't"), QStringLiteral("cannot")},
        {QStringLiteral("won't"), QStringLiteral("will not")},
        {QStringLiteral("don't"), QStringLiteral("do not")},
        {QStringLiteral("doesn't"), QStringLiteral("does not")},
        {QStringLiteral("didn't"), QStringLiteral("did not")},
        {QStringLiteral("isn't"), QStringLiteral("is not")},
        {QStringLiteral("aren't"), QStringLiteral("are not")},
        {QStringLiteral("wasn't"), QStringLiteral("was not")},
        {QStringLiteral("i'm"), QStringLiteral("I am")},
        {QStringLiteral("it's"), QStringLiteral("it is")},
        {QStringLiteral("we're"), QStringLiteral("we are")},
        {QStringLiteral("you're"), QStringLiteral("you are")},
        {QStringLiteral("they're"), QStringLiteral("they are")},
        {QStringLiteral("i'll"), QStringLiteral("I will")},
        {QStringLiteral("we'll"), QStringLiteral("we will")},
        {QStringLiteral("i've"), QStringLiteral("I have")},
        {QStringLiteral("gonna"), QStringLiteral("going to")},
        {QStringLiteral("wanna"), QStringLiteral("want to")},
        {QStringLiteral("yeah"), QStringLiteral("yes")},
        {QStringLiteral("hey"), QStringLiteral("hello")},
    };
    for (const auto& [from, to] : contractions) {
        const QRegularExpression word(QStringLiteral("\\b") + QRegularExpression::escape(from) +
                                          QStringLiteral("\\b"),
                                      QRegularExpression::CaseInsensitiveOption);
        text.replace(word, to);
    }
    return text;
}

QStringList listItems(const QString& text) {
    QStringList items;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() > 1) {
        for (const QString& l : lines)
            items.append(l);
    } else {
        static const QRegularExpression separators(
            QStringLiteral("(?<=[.!?;])\\s+|,\\s*(?:and\\s+)?|\\s+(?:and then|then|and also|and)\\s+"),
            QRegularExpression::CaseInsensitiveOption);
        items = text.split(separators, Qt::SkipEmptyParts);
    }
    QStringList result;
    static const QRegularExpression bullet(QStringLiteral("^\\s*(?:[-*\\x{2022}]|\\d+[.)])\\s*"));
    for (QString item : items) {
        item.remove(bullet);
        item = stripTrailingPunctuation(removeFillers(item));
        if (!item.isEmpty())
            result.append(capitalizeFirst(item));
    }
    return result;
}

} // namespace

namespace RuleBasedFormatter {

std::optional<AIFormatPreset> presetForPrompt(const QString& customPrompt) {
    const QString wanted = TextHelpers::trimmed(customPrompt);
    for (AIFormatPreset p : AIFormatPresets::allCases)
        if (TextHelpers::trimmed(AIFormatPresets::prompt(p)) == wanted)
            return p;
    return std::nullopt;
}

QString cleanUp(const QString& input) {
    QStringList paragraphs;
    for (const QString& line : input.split(QLatin1Char('\n'))) {
        const QString cleaned = cleanLine(line);
        if (!cleaned.isEmpty())
            paragraphs.append(cleaned);
    }
    return paragraphs.join(QLatin1Char('\n'));
}

QString format(const QString& input, AIFormatPreset preset) {
    const QString text = TextHelpers::trimmed(input);
    if (text.isEmpty())
        return {};
    switch (preset) {
    case AIFormatPreset::clean:
    case AIFormatPreset::message:
    case AIFormatPreset::prompt:
        return cleanUp(text);
    case AIFormatPreset::formal:
        return cleanUp(formalize(text));
    case AIFormatPreset::email: {
        // One sentence per paragraph keeps greeting, body and closing apart.
        QStringList paragraphs;
        for (const QString& line : cleanUp(text).split(QLatin1Char('\n')))
            for (const QString& s : sentences(line))
                paragraphs.append(s);
        return paragraphs.join(QStringLiteral("\n\n"));
    }
    case AIFormatPreset::subject: {
        const QStringList first = sentences(cleanUp(text).split(QLatin1Char('\n')).value(0));
        QStringList words =
            stripTrailingPunctuation(first.value(0)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.size() > 10)
            words = words.mid(0, 10);
        return capitalizeFirst(words.join(QLatin1Char(' ')));
    }
    case AIFormatPreset::list: {
        QStringList lines;
        for (const QString& item : listItems(text))
            lines.append(QStringLiteral("- ") + item);
        return lines.join(QLatin1Char('\n'));
    }
    case AIFormatPreset::summary: {
        QStringList kept;
        for (const QString& s : sentences(cleanUp(text).replace(QLatin1Char('\n'), QLatin1Char(' ')))) {
            if (!kept.contains(s, Qt::CaseInsensitive))
                kept.append(s);
        }
        QStringList lines;
        for (const QString& s : kept.mid(0, 5))
            lines.append(QStringLiteral("- ") + stripTrailingPunctuation(s));
        return lines.join(QLatin1Char('\n'));
    }
    }
    return cleanUp(text);
}

} // namespace RuleBasedFormatter
