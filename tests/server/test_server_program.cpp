// voxlet-backend as a program: its options, its start on a free port and its clean stop.
#include "ServerFixture.h"
#include "support/TestEnvironment.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

class ServerProgramTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        m_program = TestEnvironment::binaryDir() + QStringLiteral("/bin/voxlet-backend");
        QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
    }

    void startsOnAFreePortAndStopsOnSigterm() {
        QTemporaryDir dir;
        const QString grammar = SpeechFixtures::writeGrammar(dir.path());
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(m_program, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data-dir"),
                                  dir.filePath(QStringLiteral("data")), QStringLiteral("--grammar"), grammar,
                                  QStringLiteral("--release-build"), QStringLiteral("77")});
        QVERIFY(process.waitForStarted());
        static const QRegularExpression listening(
            QStringLiteral("listening on http://127\\.0\\.0\\.1:(\\d+)"));
        QByteArray output;
        QRegularExpressionMatch match;
        QTRY_VERIFY_WITH_TIMEOUT(
            (match = listening.match(QString::fromUtf8(output += process.readAll()))).hasMatch(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT((output += process.readAll()).contains("one-time-codes.json"), 5000);
        const int port = match.captured(1).toInt();
        QVERIFY(port > 0);

        QNetworkAccessManager network;
        QNetworkReply* reply =
            network.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/api/version").arg(port))));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("build")).toInt(),
                 77);
        delete reply;

        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("data/token-secret"))).isFile());
    }

    void failsClearly_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("bad option value") << QStringList{QStringLiteral("--port"), QStringLiteral("eighty")}
                                          << 2 << "invalid value for port";
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate")} << 2 << "frobnicate";
        QTest::newRow("missing grammar")
            << QStringList{QStringLiteral("--grammar"), QStringLiteral("/nonexistent.jsgf")} << 1
            << "grammar file not found";
    }
    void failsClearly() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        // Given last, the case's own options override these.
        process.start(m_program, QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                             QStringLiteral("--data-dir"), dir.path()} +
                                     arguments);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitCode(), exitCode);
        const QString output = QString::fromUtf8(process.readAll());
        QVERIFY2(output.contains(message), qPrintable(output));
    }

    void helpListsTheOptions() {
        QProcess process;
        process.start(m_program, {QStringLiteral("--help")});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray help = process.readAllStandardOutput();
        for (const char* option :
             {"--grammar", "--chat-endpoint", "--data-dir", "--max-body-bytes", "--config"})
            QVERIFY2(help.contains(option), option);
    }

private:
    QString m_program;
};

QTEST_GUILESS_MAIN(ServerProgramTest)
#include "test_server_program.moc"
