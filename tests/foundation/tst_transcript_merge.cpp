#include "dictation/AppLog.h"
#include "platform/fake/RecordingSystemLog.h"
#include "realtime/CommittedTranscriptAccumulator.h"

#include <QTest>

class TranscriptMergeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { setAppLogToStandardOutput(false); }

    void init() {
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);
    }

    void merge_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("committed");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("appended");
        QTest::addColumn<QString>("logLine");

        const QString prefix = QStringLiteral("ElevenLabsRT: ");
        QTest::newRow("first text") << ""
                                    << "Hello world."
                                    << "Hello world."
                                    << "Hello world."
                                    << "";
        QTest::newRow("duplicate") << "Hello world."
                                   << "Hello world."
                                   << "Hello world."
                                   << "" << prefix + "Ignoring duplicate committed transcript";
        QTest::newRow("cumulative")
            << "Hello world."
            << "Hello world. How are you?"
            << "Hello world. How are you?"
            << " How are you?"
            << prefix + "Replaced accumulated transcript with cumulative committed transcript";
        QTest::newRow("larger containing") << "how are you"
                                           << "Well, how are you doing"
                                           << "Well, how are you doing"
                                           << "Well, how are you doing"
                                           << prefix + "Replaced accumulated transcript with larger "
                                                       "committed transcript containing previous text";
        QTest::newRow("already at tail")
            << "I went to the store today"
            << "the store today"
            << "I went to the store today"
            << "" << prefix + "Ignoring committed transcript already present at tail";
        QTest::newRow("already contained")
            << "I went to the store today and bought milk"
            << "the store today"
            << "I went to the store today and bought milk"
            << "" << prefix + "Ignoring committed transcript already contained in accumulated text";
        QTest::newRow("overlap 13")
            << "we should meet tomorrow"
            << "meet tomorrow at noon"
            << "we should meet tomorrow at noon"
            << " at noon"
            << prefix + "Appended committed transcript suffix after deduplicating overlap of 13 chars";
        QTest::newRow("short accumulated, no overlap test") << "see you"
                                                            << "you later"
                                                            << "see you you later"
                                                            << " you later"
                                                            << "";
        QTest::newRow("punctuation joins without space") << "Hello"
                                                         << ", world"
                                                         << "Hello, world"
                                                         << ", world"
                                                         << "";

        QTest::newRow("filler only changes nothing") << "Hello"
                                                     << "Hmm."
                                                     << "Hello"
                                                     << ""
                                                     << "";
        QTest::newRow("case differs is no duplicate") << "hello world."
                                                      << "Hello world."
                                                      << "hello world. Hello world."
                                                      << " Hello world."
                                                      << "";
        QTest::newRow("11 chars in the middle appended again") << "one two three four five"
                                                               << "two three f"
                                                               << "one two three four five two three f"
                                                               << " two three f"
                                                               << "";
        QTest::newRow("12 chars in the middle ignored")
            << "one two three four five"
            << "two three fo"
            << "one two three four five"
            << "" << prefix + "Ignoring committed transcript already contained in accumulated text";
        QTest::newRow("overlap of 8 removed")
            << "xyz 12345678"
            << "12345678 next"
            << "xyz 12345678 next"
            << " next"
            << prefix + "Appended committed transcript suffix after deduplicating overlap of 8 chars";
        QTest::newRow("overlap of 7 kept") << "xyz 1234567"
                                           << "1234567 next"
                                           << "xyz 1234567 1234567 next"
                                           << " 1234567 next"
                                           << "";
        QTest::newRow("committed text is trimmed") << "Hello"
                                                   << "  world \n"
                                                   << "Hello world"
                                                   << " world"
                                                   << "";
        QTest::newRow("canonically equivalent duplicate")
            << QString::fromUtf8("Caf\u00E9 aberto") << QString::fromUtf8("Cafe\u0301 aberto")
            << QString::fromUtf8("Caf\u00E9 aberto") << ""
            << prefix + "Ignoring duplicate committed transcript";
        QTest::newRow("suffix starting with an emoji gets a space")
            << "Look" << QString::fromUtf8("👨‍👩‍👧 here")
            << QString::fromUtf8("Look 👨‍👩‍👧 here")
            << QString::fromUtf8(" 👨‍👩‍👧 here") << "";
        QTest::newRow("overlap counts characters, not code units")
            << QString::fromUtf8("we met at the caf\u00E9") << QString::fromUtf8("at the cafe\u0301 today")
            << QString::fromUtf8("we met at the caf\u00E9 today") << " today"
            << prefix + "Appended committed transcript suffix after deduplicating overlap of 11 chars";
    }

    void merge() {
        QFETCH(QString, before);
        QFETCH(QString, committed);
        QFETCH(QString, logLine);
        CommittedTranscriptAccumulator accumulator;
        if (!before.isEmpty())
            QCOMPARE(accumulator.mergeCommittedTranscript(before), before);
        systemLog->clear();

        QTEST(accumulator.mergeCommittedTranscript(committed), "appended");
        QTEST(accumulator.accumulatedTranscript(), "after");
        QCOMPARE(systemLog->infos(), logLine.isEmpty() ? QStringList() : QStringList{logLine});
    }

    void cumulativeWinsOverLargerContaining() {
        CommittedTranscriptAccumulator accumulator;
        accumulator.mergeCommittedTranscript(QStringLiteral("one two"));
        QCOMPARE(accumulator.mergeCommittedTranscript(QStringLiteral("one two three")),
                 QStringLiteral(" three"));
    }

    void resetEmpties() {
        CommittedTranscriptAccumulator accumulator;
        accumulator.mergeCommittedTranscript(QStringLiteral("something"));
        accumulator.reset();
        QVERIFY(accumulator.accumulatedTranscript().isEmpty());
        QCOMPARE(accumulator.mergeCommittedTranscript(QStringLiteral("fresh")), QStringLiteral("fresh"));
    }

    void separator_data() {
        QTest::addColumn<QString>("accumulated");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("separator");
        QTest::newRow("words") << "a"
                               << "b"
                               << " ";
        QTest::newRow("empty accumulated") << ""
                                           << "b"
                                           << "";
        QTest::newRow("accumulated ends with space") << "a "
                                                     << "b"
                                                     << "";
        QTest::newRow("suffix begins with line break") << "a"
                                                       << "\nb"
                                                       << "";
        QTest::newRow("period") << "a"
                                << ". b"
                                << "";
        QTest::newRow("question mark") << "a"
                                       << "?"
                                       << "";
        QTest::newRow("inverted question mark") << "a" << QString::fromUtf8("¿b") << "";
        QTest::newRow("digit") << "a"
                               << "5"
                               << " ";
        QTest::newRow("accented letter") << "a" << QString::fromUtf8("e\u0301") << " ";
    }

    void separator() {
        QFETCH(QString, accumulated);
        QFETCH(QString, suffix);
        QTEST(CommittedTranscriptAccumulator::joinSeparator(accumulated, suffix), "separator");
    }

    void overlapLength() {
        QCOMPARE(CommittedTranscriptAccumulator::overlapLength(QStringLiteral("abc 12345678"),
                                                               QStringLiteral("12345678 x")),
                 8);
        QCOMPARE(CommittedTranscriptAccumulator::overlapLength(QStringLiteral("abc 1234567"),
                                                               QStringLiteral("1234567 x")),
                 0);
        QCOMPARE(CommittedTranscriptAccumulator::overlapLength(QStringLiteral("12345678"),
                                                               QStringLiteral("12345678")),
                 8);
        QCOMPARE(CommittedTranscriptAccumulator::overlapLength(QString(), QStringLiteral("12345678")), 0);
    }

private:
    std::shared_ptr<RecordingSystemLog> systemLog;
};

QTEST_GUILESS_MAIN(TranscriptMergeTest)
#include "tst_transcript_merge.moc"
