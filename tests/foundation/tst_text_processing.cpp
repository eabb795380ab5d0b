#include "backend/TextProcessor.h"
#include "dictation/TextHelpers.h"

#include <QTest>

class TextProcessingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void removeFillerWords_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("leading hmm with comma") << "Hmm, I think so"
                                                << "I think so";
        QTest::newRow("hmm and period only") << "Hmm."
                                             << "";
        QTest::newRow("ahh inside with comma") << "So Ahh, we go"
                                               << "So we go";
        QTest::newRow("words that begin like fillers") << "Ohio aha Aaah"
                                                       << "Ohio aha Aaah";
        QTest::newRow("leading lone M") << "M, we start"
                                        << "we start";
        QTest::newRow("m inside a sentence") << "I am m here"
                                             << "I am m here";
        QTest::newRow("leading accented capital")
            << QString::fromUtf8("Éh vamos lá") << QString::fromUtf8("vamos lá");
        QTest::newRow("leading accented double")
            << QString::fromUtf8("éhh, vamos") << QString::fromUtf8("vamos");
        QTest::newRow("accented inside kept")
            << QString::fromUtf8("Então éh vamos") << QString::fromUtf8("Então éh vamos");
        QTest::newRow("plain eh kept") << "Eh then eh"
                                       << "Eh then eh";
        QTest::newRow("only fillers") << "hmm uhmmm ohh aaaa"
                                      << "";
        QTest::newRow("lone m kept") << "m"
                                     << "m";
        QTest::newRow("three spaces halved once") << "a   b"
                                                  << "a  b";
        QTest::newRow("four spaces halved once") << "a    b"
                                                 << "a  b";
        QTest::newRow("filler glued to accented word is a word")
            << QString::fromUtf8("ahé ok") << QString::fromUtf8("ahé ok");
        QTest::newRow("upper case filler") << "We MMMM go"
                                           << "We go";
        QTest::newRow("humm and uhm") << "humm yes uhm no"
                                      << "yes no";
        QTest::newRow("filler before line break") << "first oh.\nsecond"
                                                  << "first \nsecond";
    }

    void removeFillerWords() {
        QFETCH(QString, input);
        QTEST(TextProcessor::removeFillerWords(input), "expected");
    }

    void characterCount_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("ascii") << "Hello" << 5;
        QTest::newRow("combining accent") << QString::fromUtf8("e\u0301a") << 2;
        QTest::newRow("family emoji") << QString::fromUtf8("👨‍👩‍👧‍👦!") << 2;
        QTest::newRow("flag") << QString::fromUtf8("🇧🇷") << 1;
        QTest::newRow("crlf") << "a\r\nb" << 3;
    }

    void characterCount() {
        QFETCH(QString, text);
        QTEST(TextHelpers::characterCount(text), "count");
        QCOMPARE(TextHelpers::characters(text).join(QString()), text);
    }

    void words_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("words");
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("spaces") << "  \n\t " << 0;
        QTest::newRow("runs") << " one  two\nthree\u00A0four " << 4;
        QTest::newRow("punctuation counts") << "a , b" << 3;
    }

    void words() {
        QFETCH(QString, text);
        QTEST(TextHelpers::wordCount(text), "words");
    }

    void trimming() {
        QCOMPARE(TextHelpers::trimmed(QStringLiteral(" \r\n\tHello world \u2028\n")),
                 QStringLiteral("Hello world"));
        QVERIFY(TextHelpers::isBlank(QStringLiteral(" \n\u00A0")));
        QVERIFY(!TextHelpers::isBlank(QStringLiteral(" a ")));
    }
};

QTEST_GUILESS_MAIN(TextProcessingTest)
#include "tst_text_processing.moc"
