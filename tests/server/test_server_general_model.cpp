// The general en-us language model: slow and inexact on synthetic speech, so only checked for text.
#include "ServerFixture.h"
#include "ServerLog.h"
#include "realtime/RealtimeProtocol.h"

#include <QWebSocket>
#include <QtTest>

class ServerGeneralModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        setServerLogToStandardOutput(false);
        m_backend = std::make_unique<TestBackend>([](BackendConfig& c) { c.grammarPath.clear(); });
        QString error;
        QVERIFY2(m_backend->start(&error), qPrintable(error));
        m_token = m_backend->signIn(QStringLiteral("general@example.com"))
                      .value(QStringLiteral("access_token"))
                      .toString()
                      .toLatin1();
        m_wav = SpeechFixtures::speak(QStringLiteral("please send the report before friday"),
                                      m_backend->workDir());
        if (m_wav.isEmpty())
            QSKIP("espeak-ng is not available");
    }

    void transcribeGivesText() {
        const HttpReply reply =
            m_backend->backendRequest("POST", QStringLiteral("/ai/transcribe"), m_wav, m_token, "audio/wav");
        QCOMPARE(reply.status, 200);
        QVERIFY(!reply.json().value(QStringLiteral("transcript")).toString().trimmed().isEmpty());
        QCOMPARE(reply.json().value(QStringLiteral("model")).toString(),
                 QStringLiteral("pocketsphinx-en-us"));
    }

    void realtimeCommitGivesText() {
        const QByteArray pcm = SpeechFixtures::pcm16k(m_wav, m_backend->workDir());
        QVERIFY(!pcm.isEmpty());
        QUrl url = m_backend->url(QStringLiteral("/ai/realtime"));
        url.setScheme(QStringLiteral("ws"));
        url.setQuery(QStringLiteral("access_token=") + QString::fromLatin1(m_token));
        QWebSocket socket;
        QStringList committed;
        bool started = false;
        connect(&socket, &QWebSocket::textMessageReceived, this, [&](const QString& text) {
            const auto m = RealtimeProtocol::decodeServerMessage(text);
            if (m && m->kind == RealtimeProtocol::ServerMessage::Kind::SessionStarted)
                started = true;
            if (m && m->kind == RealtimeProtocol::ServerMessage::Kind::CommittedTranscript)
                committed.append(m->text.value_or(QString()));
        });
        socket.open(url);
        QTRY_VERIFY_WITH_TIMEOUT(started, 20000);
        const QByteArray audio = SpeechFixtures::silence16k(300) + pcm;
        for (qsizetype i = 0; i < audio.size(); i += 3200)
            socket.sendTextMessage(RealtimeProtocol::encodeAudioChunk(audio.mid(i, 3200)));
        socket.sendTextMessage(RealtimeProtocol::encodeCommit());
        QTRY_VERIFY_WITH_TIMEOUT(!committed.isEmpty() && committed.size() >= 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!committed.join(QString()).trimmed().isEmpty(), 60000);
    }

private:
    std::unique_ptr<TestBackend> m_backend;
    QByteArray m_token;
    QByteArray m_wav;
};

QTEST_GUILESS_MAIN(ServerGeneralModelTest)
#include "test_server_general_model.moc"
