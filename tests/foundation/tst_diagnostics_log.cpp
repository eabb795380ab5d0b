#include "dictation/AppLog.h"
#include "dictation/DiagnosticsLog.h"
#include "platform/fake/RecordingSystemLog.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class DiagnosticsLogTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);
        setAppLogToStandardOutput(false);
    }
    void cleanup() { setAppSystemLog(nullptr); }

    void lineFormat() {
        const QDateTime at(QDate(2026, 1, 31), QTime(9, 5, 7, 250), Qt::UTC);
        QCOMPARE(DiagnosticsLog::formatLine(QStringLiteral("AppState: hi"), at),
                 QStringLiteral("2026-01-31T09:05:07.250Z AppState: hi\n"));
        QCOMPARE(DiagnosticsLog::formatLine(QStringLiteral("x"),
                                            QDateTime(QDate(2026, 1, 31), QTime(9, 5, 7), Qt::UTC)),
                 QStringLiteral("2026-01-31T09:05:07.000Z x\n"));
    }

    void firstMessageCreatesFolderAndFile() {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("state/Voxlet"));
        DiagnosticsLog log([folder] { return folder; });
        log.write(QStringLiteral("Olá\nsecond line"));
        log.flush();
        const QByteArray content = readAll(folder + QStringLiteral("/Voxlet.log"));
        QVERIFY(
            QRegularExpression(
                QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z Olá\nsecond line\n$"))
                .match(QString::fromUtf8(content))
                .hasMatch());
        QVERIFY(!QFile::exists(folder + QStringLiteral("/Voxlet.previous.log")));
        QVERIFY(systemLog->errors().isEmpty());
    }

    void rotation_data() {
        QTest::addColumn<qint64>("existingSize");
        QTest::addColumn<bool>("rotates");
        QTest::newRow("exactly the limit stays") << qint64(2'000'000) << false;
        QTest::newRow("one byte above rotates") << qint64(2'000'001) << true;
    }

    void rotation() {
        QFETCH(qint64, existingSize);
        QFETCH(bool, rotates);
        QTemporaryDir dir;
        const QString current = dir.filePath(QStringLiteral("Voxlet.log"));
        const QString previous = dir.filePath(QStringLiteral("Voxlet.previous.log"));
        const QByteArray existing(existingSize, 'a');
        writeFile(current, existing);
        writeFile(previous, "older rotation\n");

        DiagnosticsLog log([path = dir.path()] { return path; });
        log.write(QStringLiteral("next"));
        log.flush();

        const QByteArray now = readAll(current);
        if (rotates) {
            QCOMPARE(readAll(previous).size(), existingSize);
            QVERIFY(now.endsWith(" next\n"));
            QCOMPARE(now.count('\n'), 1);
        } else {
            QCOMPARE(readAll(previous), QByteArray("older rotation\n"));
            QVERIFY(now.startsWith(existing));
            QVERIFY(now.endsWith(" next\n"));
        }
    }

    void unwritableFolderReportsEveryFailureToTheSystemLogOnly() {
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("Voxlet")), "a plain file in the folder's place");
        DiagnosticsLog log([folder = dir.filePath(QStringLiteral("Voxlet"))] { return folder; });
        log.write(QStringLiteral("one"));
        log.write(QStringLiteral("two"));
        log.flush();
        const QStringList errors = systemLog->errors();
        QCOMPARE(errors.size(), 2);
        for (const QString& line : errors)
            QVERIFY2(line.startsWith(QStringLiteral("DiagnosticsLog write failed: ")), qPrintable(line));
        QVERIFY(systemLog->infos().isEmpty());
    }

    void twoThreadsGiveWholeLinesInCallOrder() {
        QTemporaryDir dir;
        DiagnosticsLog log([path = dir.path()] { return path; });
        const int perThread = 2000;
        auto writer = [&log](char name) {
            for (int i = 0; i < perThread; ++i)
                log.write(QStringLiteral("thread %1 line %2 %3")
                              .arg(QLatin1Char(name))
                              .arg(i)
                              .arg(QString(40, QLatin1Char(name))));
        };
        std::thread a(writer, 'a');
        std::thread b(writer, 'b');
        a.join();
        b.join();
        log.flush();

        const QList<QByteArray> lines = readAll(dir.filePath(QStringLiteral("Voxlet.log"))).split('\n');
        QCOMPARE(lines.size(), 2 * perThread + 1);
        QVERIFY(lines.last().isEmpty());
        const QRegularExpression shape(QStringLiteral("^\\S+Z thread ([ab]) line (\\d+) (a{40}|b{40})$"));
        int next[2] = {0, 0};
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            const auto match = shape.match(QString::fromUtf8(lines[i]));
            QVERIFY2(match.hasMatch(), lines[i].constData());
            const int which = match.captured(1) == QLatin1String("a") ? 0 : 1;
            QCOMPARE(match.captured(3).front(), match.captured(1).front());
            QCOMPARE(match.captured(2).toInt(), next[which]++);
        }
    }

    void appLogReachesSystemLogAndFile() {
        QTemporaryDir dir;
        qputenv("XDG_STATE_HOME", dir.path().toUtf8());
        appLog(QStringLiteral("AppState: ready"));
        DiagnosticsLog::shared().flush();
        QCOMPARE(systemLog->infos(), QStringList{QStringLiteral("AppState: ready")});
        QVERIFY(readAll(dir.filePath(QStringLiteral("Voxlet/Voxlet.log"))).endsWith(" AppState: ready\n"));
        qunsetenv("XDG_STATE_HOME");
    }

    void linesQueuedAtExitReachTheFile() {
        QTemporaryDir dir;
        QProcess helper;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_STATE_HOME"), dir.path());
        helper.setProcessEnvironment(environment);
        helper.start(qEnvironmentVariable("VOXLET_LOG_EXIT_HELPER"), {QStringLiteral("5000")});
        QVERIFY(helper.waitForFinished(60'000));
        QCOMPARE(helper.exitCode(), 0);
        const QList<QByteArray> lines =
            readAll(dir.filePath(QStringLiteral("Voxlet/Voxlet.log"))).split('\n');
        QCOMPARE(lines.size(), 5001);
        QVERIFY(lines[4999].endsWith(" line 4999"));
    }

private:
    std::shared_ptr<RecordingSystemLog> systemLog;
};

QTEST_GUILESS_MAIN(DiagnosticsLogTest)
#include "tst_diagnostics_log.moc"
