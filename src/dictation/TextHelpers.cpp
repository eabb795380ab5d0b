#include "dictation/TextHelpers.h"

#include <QTextBoundaryFinder>

namespace TextHelpers {

int characterCount(const QString& text) {
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

QStringList characters(const QString& text) {
    QStringList result;
    if (text.isEmpty())
        return result;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    qsizetype end;
    while ((end = finder.toNextBoundary()) != -1) {
        result.append(text.mid(start, end - start));
        start = end;
    }
    return result;
}

QString trimmed(const QString& text) {
    return text.trimmed();
}

bool isBlank(const QString& text) {
    for (QChar c : text)
        if (!c.isSpace())
            return false;
    return true;
}

int wordCount(const QString& text) {
    int count = 0;
    bool inWord = false;
    for (QChar c : text) {
        const bool space = c.isSpace();
        if (!space && !inWord)
            ++count;
        inWord = !space;
    }
    return count;
}

QString appendingPathComponent(const QString& basePath, const QString& component) {
    QString head = basePath;
    while (head.endsWith(QLatin1Char('/')))
        head.chop(1);
    QString tail = component;
    while (tail.startsWith(QLatin1Char('/')))
        tail.remove(0, 1);
    return head + QLatin1Char('/') + tail;
}

} // namespace TextHelpers
