#pragma once

#include <QList>
#include <QString>

// Merges the committed transcripts of one streaming session into one text without repetitions.
// Positions and lengths are counted in user-perceived characters, and text is compared in its
// canonical composed form, so canonically equivalent spellings are the same text.
class CommittedTranscriptAccumulator {
public:
    // Merges a committed text as received and returns what was appended (possibly empty).
    QString mergeCommittedTranscript(const QString& committed);
    const QString& accumulatedTranscript() const { return accumulated.text; }
    void reset();

    static int overlapLength(const QString& accumulated, const QString& cleaned);
    static QString joinSeparator(const QString& accumulated, const QString& suffix);

private:
    // A text with the start offset of every character; bounds.last() is the text's length.
    struct ClusteredText {
        QString text;
        QList<qsizetype> bounds{0};

        static ClusteredText from(const QString& text);
        int count() const { return static_cast<int>(bounds.size()) - 1; }
        bool isEmpty() const { return text.isEmpty(); }
        bool isBoundary(qsizetype offset) const;
        QStringView characters(int from, int length) const;
        QStringView charactersFrom(int from) const { return characters(from, count() - from); }
        // Whether `needle` occurs at character boundaries at its start and its end.
        bool contains(const ClusteredText& needle) const;
        bool startsWith(const ClusteredText& prefix) const;
        bool endsWith(const ClusteredText& suffix) const;
        void append(const QString& tail);
    };

    static int overlapLength(const ClusteredText& accumulated, const ClusteredText& cleaned);
    // A single space unless either side is white space or the suffix starts with punctuation only.
    static QString separatorBetween(QStringView lastCharacter, QStringView firstCharacter);

    ClusteredText accumulated;
};
