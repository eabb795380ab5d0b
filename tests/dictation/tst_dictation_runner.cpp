// voxlet-dictate end to end: a recording of speech goes through the whole dictation of each mode
// against the local backend, and the program prints the text it would have typed.
#include "ServerFixture.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

class DictationRunnerTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestBackend> backend;
    QString program;
    QString wavPath;
    QString tokenPath;
    QString infoPath;
    const QString sentence = QStringLiteral("please send the report before friday");

    static bool writeFile(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    struct Run {
        int exitCode = -1;
        QString output;
        QString errors;
    };

    // Runs the program while this process keeps serving the backend from its event loop.
    Run dictate(const QStringList& arguments) {
        QProcess process;
        process.start(program, arguments);
        Run run;
        if (!process.waitForStarted(10000))
            return run;
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 120000)) {
            process.kill();
            process.waitForFinished();
            return run;
        }
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.output = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
        run.errors = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

private Q_SLOTS:
    void initTestCase() {
        program = TestEnvironment::binaryDir() + QStringLiteral("/bin/voxlet-dictate");
        QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(program));
        backend = std::make_unique<TestBackend>();
        // Tokens are judged by the program against the real clock.
        backend->clock().setCurrentDateTime(QDateTime::currentDateTimeUtc());
        QString error;
        QVERIFY2(backend->start(&error), qPrintable(error));

        const QByteArray speech = SpeechFixtures::speak(sentence, backend->workDir());
        QVERIFY2(!speech.isEmpty(), "espeak-ng made no speech");
        wavPath = backend->workDir() + QStringLiteral("/speech.wav");
        QVERIFY(writeFile(wavPath, speech));

        const QJsonObject session = backend->signIn(QStringLiteral("runner@example.com"));
        tokenPath = backend->workDir() + QStringLiteral("/token");
        QVERIFY(writeFile(tokenPath, session.value(QStringLiteral("access_token")).toString().toUtf8()));

        const QString base = backend->url(QString()).toString();
        infoPath = backend->workDir() + QStringLiteral("/Info.json");
        QVERIFY(writeFile(infoPath, QJsonDocument(QJsonObject{{QStringLiteral("VoxletSupabaseURL"), base},
                                                              {QStringLiteral("VoxletSupabaseAnonKey"),
                                                               QString::fromLatin1(TestBackend::anonKey)},
                                                              {QStringLiteral("VoxletAPIBaseURL"), base}})
                                        .toJson()));
    }

    void eachModePrintsItsText_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("expected");
        QTest::newRow("flash") << QStringList{"--mode", "flash"} << sentence;
        QTest::newRow("pro, clean style") << QStringList{"--mode", "pro", "--style", "clean"}
                                          << QStringLiteral("Please send the report before friday.");
        // The local backend has no translator: the original is typed.
        QTest::newRow("translate") << QStringList{"--mode", "translate", "--language", "es"} << sentence;
    }

    void eachModePrintsItsText() {
        QFETCH(QStringList, options);
        const Run run =
            dictate(options + QStringList{"--fast", "--token-file", tokenPath, "--info", infoPath, wavPath});
        QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
        QTEST(run.output, "expected");
    }

    void refusesWithoutASession() {
        QVERIFY(writeFile(backend->workDir() + QStringLiteral("/bad-token"), "not-a-token"));
        const Run run = dictate({"--fast", "--token-file", backend->workDir() + QStringLiteral("/bad-token"),
                                 "--info", infoPath, wavPath});
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.errors.contains(QStringLiteral("not signed in")), qPrintable(run.errors));
        QVERIFY(run.output.isEmpty());
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no file") << QStringList{"--mode", "flash"};
        QTest::newRow("unknown mode") << QStringList{"--mode", "turbo", "a.wav"};
        QTest::newRow("unknown style") << QStringList{"--style", "poem", "a.wav"};
    }

    void usageErrors() {
        QFETCH(QStringList, arguments);
        QCOMPARE(dictate(arguments).exitCode, 2);
    }

    void unreadableRecording() {
        QVERIFY(writeFile(backend->workDir() + QStringLiteral("/not.wav"), "plain text"));
        const Run run = dictate(
            {"--token-file", tokenPath, "--info", infoPath, backend->workDir() + QStringLiteral("/not.wav")});
        QCOMPARE(run.exitCode, 5);
    }
};

QTEST_GUILESS_MAIN(DictationRunnerTest)
#include "tst_dictation_runner.moc"
