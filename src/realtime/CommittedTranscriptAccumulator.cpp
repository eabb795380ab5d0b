#include "realtime/CommittedTranscriptAccumulator.h"

#include "backend/TextProcessor.h"
#include "dictation/AppLog.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace {

constexpr int minimumOverlap = 8;
constexpr int minimumContainedLength = 12;

void addBounds(QList<qsizetype>& bounds, const QString& text, qsizetype from) {
    if (from >= text.size())
        return;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, QStringView(text).mid(from).toString());
    qsizetype end;
    while ((end = finder.toNextBoundary()) != -1)
        if (end > 0)
            bounds.append(from + end);
}

bool isWhiteSpaceCharacter(QStringView character) {
    return !character.isEmpty() && character.front().isSpace();
}

} // namespace

CommittedTranscriptAccumulator::ClusteredText
CommittedTranscriptAccumulator::ClusteredText::from(const QString& text) {
    ClusteredText result;
    result.text = text.normalized(QString::NormalizationForm_C);
    addBounds(result.bounds, result.text, 0);
    return result;
}

bool CommittedTranscriptAccumulator::ClusteredText::isBoundary(qsizetype offset) const {
    return std::binary_search(bounds.cbegin(), bounds.cend(), offset);
}

QStringView CommittedTranscriptAccumulator::ClusteredText::characters(int from, int length) const {
    const qsizetype start = bounds[from];
    return QStringView(text).mid(start, bounds[from + length] - start);
}

bool CommittedTranscriptAccumulator::ClusteredText::contains(const ClusteredText& needle) const {
    if (needle.isEmpty())
        return true;
    for (qsizetype at = text.indexOf(needle.text); at != -1; at = text.indexOf(needle.text, at + 1))
        if (isBoundary(at) && isBoundary(at + needle.text.size()))
            return true;
    return false;
}

bool CommittedTranscriptAccumulator::ClusteredText::startsWith(const ClusteredText& prefix) const {
    return text.startsWith(prefix.text) && isBoundary(prefix.text.size());
}

bool CommittedTranscriptAccumulator::ClusteredText::endsWith(const ClusteredText& suffix) const {
    return text.endsWith(suffix.text) && isBoundary(text.size() - suffix.text.size());
}

void CommittedTranscriptAccumulator::ClusteredText::append(const QString& tail) {
    // The last character may absorb what follows (a combining mark), so it is measured again.
    const qsizetype lastStart = count() > 0 ? bounds[count() - 1] : 0;
    text = text.left(lastStart) + (text.mid(lastStart) + tail).normalized(QString::NormalizationForm_C);
    bounds.resize(count() > 0 ? bounds.size() - 1 : 1);
    addBounds(bounds, text, lastStart);
}

void CommittedTranscriptAccumulator::reset() {
    accumulated = ClusteredText();
}

int CommittedTranscriptAccumulator::overlapLength(const ClusteredText& accumulatedText,
                                                  const ClusteredText& cleaned) {
    const int m = std::min(accumulatedText.count(), cleaned.count());
    for (int length = m; length >= minimumOverlap; --length)
        if (accumulatedText.characters(accumulatedText.count() - length, length) ==
            cleaned.characters(0, length))
            return length;
    return 0;
}

int CommittedTranscriptAccumulator::overlapLength(const QString& accumulatedText, const QString& cleaned) {
    return overlapLength(ClusteredText::from(accumulatedText), ClusteredText::from(cleaned));
}

QString CommittedTranscriptAccumulator::joinSeparator(const QString& accumulatedText, const QString& suffix) {
    if (accumulatedText.isEmpty() || suffix.isEmpty())
        return {};
    const ClusteredText head = ClusteredText::from(accumulatedText);
    const ClusteredText tail = ClusteredText::from(suffix);
    return separatorBetween(head.characters(head.count() - 1, 1), tail.characters(0, 1));
}

QString CommittedTranscriptAccumulator::separatorBetween(QStringView last, QStringView first) {
    if (isWhiteSpaceCharacter(last) || isWhiteSpaceCharacter(first))
        return {};
    const auto codePoints = first.toUcs4();
    const bool hasNonPunctuation =
        std::any_of(codePoints.cbegin(), codePoints.cend(), [](char32_t c) { return !QChar::isPunct(c); });
    return hasNonPunctuation ? QStringLiteral(" ") : QString();
}

QString CommittedTranscriptAccumulator::mergeCommittedTranscript(const QString& committed) {
    const ClusteredText cleaned = ClusteredText::from(TextProcessor::removeFillerWords(committed.trimmed()));
    if (cleaned.isEmpty())
        return {};

    if (accumulated.isEmpty()) {
        accumulated = cleaned;
        return cleaned.text;
    }

    if (cleaned.text == accumulated.text) {
        appLog(QStringLiteral("ElevenLabsRT: Ignoring duplicate committed transcript"));
        return {};
    }

    if (cleaned.count() >= accumulated.count() && cleaned.startsWith(accumulated)) {
        const int previousLength = accumulated.count();
        accumulated = cleaned;
        appLog(QStringLiteral(
            "ElevenLabsRT: Replaced accumulated transcript with cumulative committed transcript"));
        return cleaned.charactersFrom(previousLength).toString();
    }

    if (accumulated.count() < cleaned.count() && cleaned.contains(accumulated)) {
        accumulated = cleaned;
        appLog(
            QStringLiteral("ElevenLabsRT: Replaced accumulated transcript with larger committed transcript "
                           "containing previous text"));
        return cleaned.text;
    }

    if (accumulated.count() >= cleaned.count() && accumulated.endsWith(cleaned)) {
        appLog(QStringLiteral("ElevenLabsRT: Ignoring committed transcript already present at tail"));
        return {};
    }

    if (cleaned.count() >= minimumContainedLength && accumulated.contains(cleaned)) {
        appLog(QStringLiteral(
            "ElevenLabsRT: Ignoring committed transcript already contained in accumulated text"));
        return {};
    }

    const int overlap = overlapLength(accumulated, cleaned);
    const QString suffix = cleaned.charactersFrom(overlap).toString();
    if (suffix.isEmpty()) {
        appLog(QStringLiteral("ElevenLabsRT: Ignoring committed transcript fully covered by overlap"));
        return {};
    }
    const QString separator =
        separatorBetween(accumulated.characters(accumulated.count() - 1, 1), cleaned.characters(overlap, 1));
    accumulated.append(separator + suffix);
    if (overlap > 0)
        appLog(
            QStringLiteral(
                "ElevenLabsRT: Appended committed transcript suffix after deduplicating overlap of %1 chars")
                .arg(overlap));
    return separator + suffix;
}
