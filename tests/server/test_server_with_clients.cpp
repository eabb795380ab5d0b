// The program's own backend clients against voxlet-backend: the contract seen from both sides.
#include "ServerFixture.h"
#include "ServerLog.h"
#include "backend/AIFormatterService.h"
#include "backend/OpenAITranscriptionService.h"
#include "dictation/AppLog.h"
#include "realtime/ElevenLabsRealtimeService.h"

#include <QCoroTask>
#include <QtTest>

class ServerWithClientsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        setServerLogToStandardOutput(false);
        setAppLogToStandardOutput(false);
        // The clients' log lines go to a diagnostics file: keep it out of the real state folder.
        qputenv("XDG_STATE_HOME", m_state.path().toUtf8());
        m_backend = std::make_unique<TestBackend>();
        QString error;
        QVERIFY2(m_backend->start(&error), qPrintable(error));
        m_token = m_backend->signIn(QStringLiteral("clients@example.com"))
                      .value(QStringLiteral("access_token"))
                      .toString();
        QVERIFY(!m_token.isEmpty());
        m_wav = SpeechFixtures::speak(SpeechFixtures::sentences().at(5), m_backend->workDir());
        if (m_wav.isEmpty())
            QSKIP("espeak-ng is not available");
    }

    void batchTranscriptionClientGetsTheSentence() {
        OpenAITranscriptionService client;
        configure(client);
        const std::optional<QString> transcript =
            QCoro::waitFor(client.transcribe(m_wav, QStringLiteral("0A1B2C3D")));
        QCOMPARE(transcript, std::optional<QString>(SpeechFixtures::sentences().at(5)));
    }

    void formatterClientProbesFormatsAndIsRefusedTranslation() {
        AIFormatterService client;
        configure(client);
        QCoro::waitFor(client.refreshCapabilities());
        QVERIFY(client.supportsAudioFormatting());

        const QString text = QCoro::waitFor(client.formatText(
            QStringLiteral("uh we need more coffee in the kitchen"), AIFormatPreset::clean, std::nullopt));
        QCOMPARE(text, QStringLiteral("We need more coffee in the kitchen."));

        const std::optional<QString> fromAudio =
            QCoro::waitFor(client.formatAudio(m_wav, AIFormatPreset::list, std::nullopt));
        QCOMPARE(fromAudio, std::optional<QString>(QStringLiteral("- We need more coffee in the kitchen")));

        // Without a language-model endpoint the refusal is final: one request, nothing returned.
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(
            QCoro::waitFor(client.translate(QStringLiteral("hello"), QStringLiteral("pt"), std::nullopt)),
            std::nullopt);
        QVERIFY2(timer.elapsed() < 800, "the refusal was retried");
    }

    void realtimeClientGetsTheMergedTranscript() {
        // Two sentences with a pause between them: one segment ends by voice activity, the other by commit.
        const QStringList sentences = SpeechFixtures::sentences();
        const QByteArray first = SpeechFixtures::speak(sentences[0], m_backend->workDir());
        const QByteArray second = SpeechFixtures::speak(sentences[6], m_backend->workDir());
        const QByteArray pcm = SpeechFixtures::pcm16k(first, m_backend->workDir()) +
                               SpeechFixtures::silence16k(1200) +
                               SpeechFixtures::pcm16k(second, m_backend->workDir());
        QVERIFY(!pcm.isEmpty());
        ElevenLabsRealtimeService client;
        client.proxyBaseURL = m_backend->url(QStringLiteral("/"));
        const QString token = m_token;
        client.accessTokenProvider = [token]() -> QCoro::Task<std::optional<QString>> { co_return token; };
        int finalCommits = 0;
        client.onFinalCommitCompleted = [&] { ++finalCommits; };
        client.connect(16000);
        const QByteArray audio = SpeechFixtures::silence16k(300) + pcm;
        for (qsizetype i = 0; i < audio.size(); i += 3200)
            client.sendAudio(audio.mid(i, 3200));
        client.commitAudioBuffer();
        // The segment ended by voice activity may already complete the wait; the commit's answer follows.
        QTRY_COMPARE_WITH_TIMEOUT(client.accumulatedTranscript().trimmed(),
                                  sentences[0] + QLatin1Char(' ') + sentences[6], 20000);
        QVERIFY(finalCommits > 0);
        QVERIFY(!client.awaitingFinalCommit());
        client.disconnect();
    }

private:
    void configure(BackendClient& client) {
        client.apiBaseURL = m_backend->url(QStringLiteral("/"));
        const QString token = m_token;
        client.accessTokenProvider = [token]() -> QCoro::Task<std::optional<QString>> { co_return token; };
    }

    QTemporaryDir m_state;
    std::unique_ptr<TestBackend> m_backend;
    QString m_token;
    QByteArray m_wav;
};

QTEST_GUILESS_MAIN(ServerWithClientsTest)
#include "test_server_with_clients.moc"
