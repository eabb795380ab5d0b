#include "backend/AIFormatPostProcessor.h"

#include <QTest>

#include <optional>

Q_DECLARE_METATYPE(std::optional<AIFormatPreset>)

namespace {

QString repeated(const QString& piece, int times) {
    QString text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

} // namespace

class AIFormatPostProcessorTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void process_data() {
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("input");
        QTest::addColumn<std::optional<AIFormatPreset>>("style");
        QTest::addColumn<QString>("expected");

        const std::optional<AIFormatPreset> clean = AIFormatPreset::clean;
        const std::optional<AIFormatPreset> email = AIFormatPreset::email;
        const std::optional<AIFormatPreset> list = AIFormatPreset::list;
        const std::optional<AIFormatPreset> none;

        QTest::newRow("crlf lines trimmed, one blank line kept")
            << "   First line  \r\n\r\nSecond line   "
            << "input" << clean << "First line\n\nSecond line";
        QTest::newRow("lone carriage returns") << "a\rb \r c"
                                               << "input" << list << "a\nb\nc";
        QTest::newRow("inner blank lines kept as they are") << "a\n\n\nb"
                                                            << "input" << none << "a\n\n\nb";
        QTest::newRow("accented Portuguese refusal gives the input")
            << QString::fromUtf8("FORNEÇA O TEXTO.") << "  meu texto \r\n ditado " << clean
            << "meu texto\nditado";
        QTest::newRow("refusal with tilde, any style")
            << QString::fromUtf8("Não há texto para limpar") << "ok" << list << "ok";
        QTest::newRow("English refusal inside a longer answer")
            << "Sure! Please provide the text you want cleaned."
            << "hello there" << none << "hello there";
        QTest::newRow("refusal answer serves as its own fallback without email layout")
            << "I need the text. Thanks!"
            << "I need the text. Thanks!" << email << "I need the text. Thanks!";
        QTest::newRow("refusal gives the input normalized, not laid out")
            << "There is no text to clean."
            << "Hi Ana. Thanks!" << email << "Hi Ana. Thanks!";

        QTest::newRow("email: greeting, body, closing")
            << QString::fromUtf8("Olá Maria. Segue o relatório de vendas. Obrigado!") << "x" << email
            << QString::fromUtf8("Olá Maria.\n\nSegue o relatório de vendas.\n\nObrigado!");
        QTest::newRow("email: one sentence unchanged")
            << "Please send me the report by Friday"
            << "x" << email << "Please send me the report by Friday";
        QTest::newRow("email: three short lines become paragraphs")
            << "Hi Ana\nLunch at noon\nThanks"
            << "x" << email << "Hi Ana\n\nLunch at noon\n\nThanks";
        QTest::newRow("email: a blank line already there") << "Hi Ana,\n\n  Body here. "
                                                           << "x" << email << "Hi Ana,\n\nBody here.";
        QTest::newRow("email: This contains hi, so it is the greeting")
            << "This is the update. Thanks!"
            << "x" << email << "This is the update.\n\nThanks!";
        QTest::newRow("email: greeting over 120 characters and no closing unchanged")
            << "Hello " + repeated("a", 114) + ". The rest."
            << "x" << email << "Hello " + repeated("a", 114) + ". The rest.";
        QTest::newRow("email: greeting of 120 characters counted as user-perceived characters")
            << "Hello " + repeated(QString::fromUtf8("e\u0301"), 113) + ". The rest."
            << "x" << email << "Hello " + repeated(QString::fromUtf8("e\u0301"), 113) + ".\n\nThe rest.";
        QTest::newRow("email: closing with a comma, two lines, marks inside words")
            << "Hi Ana.\nThe build takes 3.5 minutes on voxlet.app now. Thanks, Bob."
            << "x" << email << "Hi Ana.\n\nThe build takes 3.5 minutes on voxlet.app now.\n\nThanks, Bob.";
        QTest::newRow("email: closing of 80 characters taken")
            << "Status report. Thanks, " + repeated("b", 71) + "!"
            << "x" << email << "Status report.\n\nThanks, " + repeated("b", 71) + "!";
        QTest::newRow("email: closing over 80 characters and no greeting unchanged")
            << "Status report. Thanks, " + repeated("b", 72) + "!"
            << "x" << email << "Status report. Thanks, " + repeated("b", 72) + "!";
        QTest::newRow("email: closing only") << "The build is green. Best regards."
                                             << "x" << email << "The build is green.\n\nBest regards.";
        QTest::newRow("email: closing word must stand alone")
            << "The build is green. Thanks for the help."
            << "x" << email << "The build is green. Thanks for the help.";
        QTest::newRow("email: greeting and closing, no body") << "Dear team! Regards."
                                                              << "x" << email << "Dear team!\n\nRegards.";
        QTest::newRow("email: empty answer") << "  \r\n "
                                             << "x" << email << "";
        QTest::newRow("other styles are not laid out") << "Hi Ana. Body. Thanks!"
                                                       << "x" << clean << "Hi Ana. Body. Thanks!";
    }

    void process() {
        QFETCH(QString, result);
        QFETCH(QString, input);
        QFETCH(std::optional<AIFormatPreset>, style);
        QTEST(AIFormatPostProcessor::process(result, input, style), "expected");
    }

    void sentences_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("three marks") << "Wait... what? Yes!" << QStringList{"Wait...", "what?", "Yes!"};
        QTest::newRow("marks inside words and numbers")
            << "v3.5 is on voxlet.app.Really" << QStringList{"v3.5 is on voxlet.app.Really"};
        QTest::newRow("line break ends a sentence") << "One.\n  two" << QStringList{"One.", "two"};
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("marks only") << "! ?" << QStringList{"!", "?"};
    }

    void sentences() {
        QFETCH(QString, text);
        QTEST(AIFormatPostProcessor::sentences(text), "expected");
    }

    void folding() {
        QCOMPARE(AIFormatPostProcessor::foldedForComparison(QString::fromUtf8("FORNEÇA Não HÁ")),
                 QStringLiteral("forneca nao ha"));
        QCOMPARE(AIFormatPostProcessor::foldedForComparison(QString::fromUtf8("o\u0303")),
                 QStringLiteral("o"));
    }
};

QTEST_GUILESS_MAIN(AIFormatPostProcessorTest)
#include "tst_ai_format_post_processor.moc"
