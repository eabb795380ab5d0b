// The release check against a loopback HTTP server, with a manual clock and recording fakes for the
// alerts, the progress display, the browser and the installer launch.
#include "dictation/AppLog.h"
#include "platform/fake/ManualScheduler.h"
#include "platform/fake/RecordingProcessLauncher.h"
#include "platform/fake/RecordingProgressPresenter.h"
#include "platform/fake/RecordingSystemLog.h"
#include "platform/fake/RecordingUrlOpener.h"
#include "platform/fake/ScriptedAlertPresenter.h"
#include "support/HttpFixture.h"
#include "update/BundleVersion.h"
#include "update/InstallTarget.h"
#include "update/InstallerScript.h"
#include "update/UpdateFolder.h"
#include "update/VersionCheckManager.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(Alert)
Q_DECLARE_METATYPE(HttpFixtureReply)

namespace {

const QString runningFromDownloads = QStringLiteral("/home/someone/Downloads/Voxlet");

std::shared_ptr<RecordingSystemLog> systemLog = std::make_shared<RecordingSystemLog>();

QStringList versionCheckLines() {
    QStringList lines;
    for (const QString& line : systemLog->infos()) {
        if (line.startsWith(QLatin1String("VersionCheck:")))
            lines.append(line);
    }
    return lines;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

int modeOf(const QString& path) {
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}

// A gzip'd tar archive of `member` (with a file in it) built by tar, as a release would be.
QByteArray tarArchive(const QString& member) {
    QTemporaryDir staging;
    writeFile(staging.filePath(member + QStringLiteral("/bin/voxlet")), "#!/bin/sh\n");
    const QString archive = staging.filePath(QStringLiteral("release.tar.gz"));
    QProcess tar;
    tar.start(QStringLiteral("tar"),
              {QStringLiteral("-czf"), archive, QStringLiteral("-C"), staging.path(), member});
    if (!tar.waitForFinished(30000) || tar.exitCode() != 0)
        return {};
    return readFile(archive);
}

QJsonObject record(qint64 build,
                   const QString& downloadURL = QStringLiteral("https://downloads.example/v.tar.gz")) {
    return QJsonObject{{"version", "2.0.0"},
                       {"build", build},
                       {"download_url", downloadURL},
                       {"release_notes", "Correções."}};
}

// One manager with its fakes, its own settings file, Info.json and private runtime folder.
struct Harness {
    explicit Harness(const QJsonObject& info = QJsonObject{{"CFBundleVersion", "41"},
                                                           {"CFBundleShortVersionString", "1.4.0"}},
                     const QString& runningTree = runningFromDownloads, bool withBaseURL = true) {
        environment.bundleInfoPath = dir.filePath(QStringLiteral("Info.json"));
        writeFile(environment.bundleInfoPath, QJsonDocument(info).toJson());
        environment.runningTree = runningTree;
        environment.homeDirectory = QStringLiteral("/home/someone");
        environment.runtimeDirectory = dir.filePath(QStringLiteral("run"));
        QDir().mkpath(environment.runtimeDirectory);
        QFile::setPermissions(environment.runtimeDirectory,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment.temporaryDirectory = dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(environment.temporaryDirectory);
        environment.settingsFile = dir.filePath(QStringLiteral("Voxlet.conf"));
        environment.processId = 4242;
        scheduler.setCurrentDateTime(QDateTime(QDate(2026, 12, 11), QTime(12, 0), Qt::UTC));
        if (withBaseURL)
            baseURL = server.url(QStringLiteral("/"));
    }

    VersionCheckManager& manager() {
        if (!created) {
            VersionCheckPorts ports;
            ports.scheduler = &scheduler;
            auto alertFake = std::make_unique<ScriptedAlertPresenter>();
            auto progressFake = std::make_unique<RecordingProgressPresenter>();
            auto openerFake = std::make_unique<RecordingUrlOpener>();
            auto launcherFake = std::make_unique<RecordingProcessLauncher>();
            alerts = alertFake.get();
            progress = progressFake.get();
            opener = openerFake.get();
            launcher = launcherFake.get();
            ports.alerts = std::move(alertFake);
            ports.progress = std::move(progressFake);
            ports.urlOpener = std::move(openerFake);
            ports.launcher = std::move(launcherFake);
            created = std::make_unique<VersionCheckManager>(baseURL, std::move(ports), environment);
            created->quitApplication = [this] { ++quitCount; };
        }
        return *created;
    }

    void run(bool userInitiated) { QCoro::waitFor(manager().runCheck(userInitiated)); }

    double now() const { return double(scheduler.currentDateTime().toMSecsSinceEpoch()) / 1000.0; }
    QVariant storedCheck() const {
        return QSettings(environment.settingsFile, QSettings::IniFormat)
            .value(VersionCheckManager::lastCheckKey);
    }
    void storeCheck(double seconds) {
        QSettings settings(environment.settingsFile, QSettings::IniFormat);
        settings.setValue(VersionCheckManager::lastCheckKey, seconds);
    }
    QString updateFolder() const { return environment.runtimeDirectory + QStringLiteral("/VoxletUpdate"); }
    QString archivePath() const { return updateFolder() + QLatin1Char('/') + UpdateFolder::archiveName; }
    QStringList folderEntries() const {
        return QDir(updateFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir;
    HttpFixture server;
    ManualScheduler scheduler;
    VersionCheckEnvironment environment;
    std::optional<QUrl> baseURL;
    ScriptedAlertPresenter* alerts = nullptr;
    RecordingProgressPresenter* progress = nullptr;
    RecordingUrlOpener* opener = nullptr;
    RecordingProcessLauncher* launcher = nullptr;
    int quitCount = 0;

    void destroyManager() { created.reset(); }

private:
    std::unique_ptr<VersionCheckManager> created;
};

} // namespace

class VersionCheckTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir stateHome;

private Q_SLOTS:
    void initTestCase() {
        qputenv("XDG_STATE_HOME", stateHome.path().toUtf8());
        setAppLogToStandardOutput(false);
        setAppSystemLog(systemLog);
    }

    void init() { systemLog->clear(); }

    void intervalRule_data() {
        QTest::addColumn<bool>("checkedBefore");
        QTest::addColumn<double>("hoursAgo");
        QTest::addColumn<bool>("userInitiated");
        QTest::addColumn<bool>("expectRequest");
        QTest::newRow("automatic, 10 h after the last check") << true << 10.0 << false << false;
        QTest::newRow("user-initiated, 10 h after the last check") << true << 10.0 << true << true;
        QTest::newRow("automatic, a day after the last check") << true << 24.0 << false << true;
        QTest::newRow("automatic, never checked") << false << 0.0 << false << true;
        QTest::newRow("automatic, last check in the future") << true << -2.0 << false << false;
    }

    void intervalRule() {
        QFETCH(bool, checkedBefore);
        QFETCH(double, hoursAgo);
        QFETCH(bool, userInitiated);
        QFETCH(bool, expectRequest);
        Harness harness;
        const double last = harness.now() - hoursAgo * 3600;
        if (checkedBefore)
            harness.storeCheck(last);
        QVariant storedWhenAsked;
        harness.server.setHandler([&](const RecordedRequest&) {
            storedWhenAsked = harness.storedCheck();
            return HttpFixtureReply::text(404, "");
        });

        harness.run(userInitiated);

        QCOMPARE(harness.server.requestCount(), expectRequest ? 1 : 0);
        if (expectRequest) {
            // The time is written before the request goes out, so that a failing check counts.
            QCOMPARE(storedWhenAsked.toDouble(), harness.now());
            QCOMPARE(harness.storedCheck().toDouble(), harness.now());
        } else {
            QCOMPARE(harness.storedCheck().toDouble(), last);
        }
    }

    void asksWithoutAuthorizationUnderTheBasePath() {
        Harness harness;
        harness.baseURL = harness.server.url(QStringLiteral("/base"));
        harness.run(true);

        QCOMPARE(harness.server.requestCount(), 1);
        const RecordedRequest request = harness.server.requests().at(0);
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.path, QStringLiteral("/base/api/version"));
        for (const char* header : {"authorization", "x-voxlet-authorization", "x-voxlet-trace-id"})
            QVERIFY2(!request.hasHeader(header), header);
    }

    void doesNothingWithoutBaseURL() {
        Harness harness(QJsonObject{{"CFBundleVersion", "1"}}, runningFromDownloads, false);
        harness.run(true);

        QCOMPARE(harness.server.requestCount(), 0);
        QVERIFY(!harness.storedCheck().isValid());
        QVERIFY(harness.alerts->shown.isEmpty());
        QVERIFY(versionCheckLines().isEmpty());
    }

    void comparesBuilds_data() {
        QTest::addColumn<QJsonValue>("bundleVersion");
        QTest::addColumn<qint64>("remoteBuild");
        QTest::addColumn<bool>("userInitiated");
        QTest::addColumn<QString>("expectedMessage"); // empty: no alert
        QTest::addColumn<QString>("expectedBuildText");
        const QString update = QStringLiteral("Voxlet 2.0.0 disponível");
        const QString upToDate = QStringLiteral("Voxlet está atualizado");
        QTest::newRow("higher remote build, automatic")
            << QJsonValue("41") << qint64(42) << false << update << "41";
        QTest::newRow("equal build, user-initiated")
            << QJsonValue("41") << qint64(41) << true << upToDate << "41";
        QTest::newRow("equal build, automatic") << QJsonValue("41") << qint64(41) << false << QString() << "";
        QTest::newRow("lower remote build, user-initiated")
            << QJsonValue("41") << qint64(7) << true << upToDate << "41";
        QTest::newRow("dotted bundle version") << QJsonValue("1.2.3") << qint64(1) << false << update << "0";
        QTest::newRow("bundle version not a string") << QJsonValue(41) << qint64(1) << false << update << "0";
        QTest::newRow("no bundle version, remote 0") << QJsonValue() << qint64(0) << true << upToDate << "0";
        QTest::newRow("negative remote build") << QJsonValue("-5") << qint64(-4) << false << update << "-5";
    }

    void comparesBuilds() {
        QFETCH(QJsonValue, bundleVersion);
        QFETCH(qint64, remoteBuild);
        QFETCH(bool, userInitiated);
        QFETCH(QString, expectedMessage);
        QFETCH(QString, expectedBuildText);
        QJsonObject info{{"CFBundleShortVersionString", "1.4.0"}};
        if (!bundleVersion.isNull())
            info.insert("CFBundleVersion", bundleVersion);
        Harness harness(info);
        QJsonObject remote = record(remoteBuild);
        remote.insert("version", "0.0.1-lower-looking"); // the display versions are never compared
        harness.server.enqueue(QStringLiteral("/api/version"), HttpFixtureReply::json(200, remote));
        harness.manager();
        harness.alerts->defaultAnswer = 1;

        harness.run(userInitiated);

        if (expectedMessage.isEmpty()) {
            QVERIFY(harness.alerts->shown.isEmpty());
            return;
        }
        QCOMPARE(harness.alerts->shown.size(), 1);
        const Alert alert = harness.alerts->shown.at(0);
        QCOMPARE(alert.message,
                 expectedMessage.replace(QStringLiteral("2.0.0"), QStringLiteral("0.0.1-lower-looking")));
        QCOMPARE(alert.style, Alert::Style::Informational);
        QVERIFY2(alert.informativeText.startsWith(QStringLiteral("Você está na versão 1.4.0 (build ") +
                                                  expectedBuildText + QStringLiteral(")")),
                 qPrintable(alert.informativeText));
        QVERIFY(versionCheckLines().isEmpty());
    }

    void buildNumberRule_data() {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("digits") << QJsonValue("42") << qint64(42);
        QTest::newRow("plus sign") << QJsonValue("+42") << qint64(42);
        QTest::newRow("minus sign") << QJsonValue("-3") << qint64(-3);
        QTest::newRow("leading zeros") << QJsonValue("007") << qint64(7);
        QTest::newRow("largest") << QJsonValue("9223372036854775807") << std::numeric_limits<qint64>::max();
        QTest::newRow("smallest") << QJsonValue("-9223372036854775808") << std::numeric_limits<qint64>::min();
        QTest::newRow("beyond 64 bits") << QJsonValue("9223372036854775808") << qint64(0);
        QTest::newRow("dotted") << QJsonValue("1.2.3") << qint64(0);
        QTest::newRow("leading space") << QJsonValue(" 42") << qint64(0);
        QTest::newRow("trailing space") << QJsonValue("42 ") << qint64(0);
        QTest::newRow("sign only") << QJsonValue("+") << qint64(0);
        QTest::newRow("two signs") << QJsonValue("+-1") << qint64(0);
        QTest::newRow("empty") << QJsonValue("") << qint64(0);
        QTest::newRow("non-ASCII digits") << QJsonValue(QString::fromUtf8("٤٢")) << qint64(0);
        QTest::newRow("hexadecimal") << QJsonValue("0x2A") << qint64(0);
        QTest::newRow("a number, not a string") << QJsonValue(42) << qint64(0);
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << qint64(0);
    }

    void buildNumberRule() {
        QFETCH(QJsonValue, value);
        QFETCH(qint64, expected);
        QCOMPARE(BundleVersion::buildNumber(value), expected);
    }

    void alertTexts_data() {
        QTest::addColumn<QJsonObject>("info");
        QTest::addColumn<QJsonObject>("remote");
        QTest::addColumn<Alert>("expected");
        const QJsonObject info{{"CFBundleVersion", "41"}, {"CFBundleShortVersionString", "1.4.0"}};
        const QStringList updateButtons{QStringLiteral("Instalar e Reiniciar"), QStringLiteral("Depois")};
        const QString lead =
            QStringLiteral("Você está na versão 1.4.0 (build 41). Uma nova versão foi lançada.\n\n");
        QJsonObject withNotes = record(50);
        withNotes.insert("release_notes", "Ditado mais rápido.\nMenos erros.");
        QTest::newRow("release notes")
            << info << withNotes
            << Alert{Alert::Style::Informational, QStringLiteral("Voxlet 2.0.0 disponível"),
                     lead + QStringLiteral("Ditado mais rápido.\nMenos erros."), updateButtons};
        QJsonObject withoutNotes = record(50);
        withoutNotes.remove("release_notes");
        QTest::newRow("no release notes")
            << info << withoutNotes
            << Alert{Alert::Style::Informational, QStringLiteral("Voxlet 2.0.0 disponível"),
                     lead + QStringLiteral("Melhorias e correções."), updateButtons};
        QJsonObject nullNotes = record(50);
        nullNotes.insert("release_notes", QJsonValue::Null);
        QTest::newRow("null release notes")
            << info << nullNotes
            << Alert{Alert::Style::Informational, QStringLiteral("Voxlet 2.0.0 disponível"),
                     lead + QStringLiteral("Melhorias e correções."), updateButtons};
        QJsonObject emptyNotes = record(50);
        emptyNotes.insert("release_notes", "");
        QTest::newRow("empty release notes")
            << info << emptyNotes
            << Alert{Alert::Style::Informational, QStringLiteral("Voxlet 2.0.0 disponível"), lead,
                     updateButtons};
        QTest::newRow("no short version")
            << QJsonObject{{"CFBundleVersion", "41"}, {"CFBundleShortVersionString", 14}} << withoutNotes
            << Alert{Alert::Style::Informational, QStringLiteral("Voxlet 2.0.0 disponível"),
                     QStringLiteral("Você está na versão ? (build 41). Uma nova versão foi lançada.\n\n"
                                    "Melhorias e correções."),
                     updateButtons};
        QTest::newRow("up to date")
            << info << record(41)
            << Alert{Alert::Style::Informational, QStringLiteral("Voxlet está atualizado"),
                     QStringLiteral(
                         "Você está na versão 1.4.0 (build 41), que é a versão mais recente disponível."),
                     QStringList{QStringLiteral("OK")}};
    }

    void alertTexts() {
        QFETCH(QJsonObject, info);
        QFETCH(QJsonObject, remote);
        QFETCH(Alert, expected);
        Harness harness(info);
        harness.server.enqueue(QStringLiteral("/api/version"), HttpFixtureReply::json(200, remote));
        harness.manager();
        harness.alerts->defaultAnswer = 1;

        harness.run(true);

        QCOMPARE(harness.alerts->shown.size(), 1);
        const Alert shown = harness.alerts->shown.at(0);
        QCOMPARE(shown.message, expected.message);
        QCOMPARE(shown.informativeText, expected.informativeText);
        QCOMPARE(shown.buttons, expected.buttons);
        QCOMPARE(shown.style, expected.style);
    }

    void staysSilentOnOtherStatuses_data() {
        QTest::addColumn<int>("status");
        QTest::newRow("404") << 404;
        QTest::newRow("500") << 500;
        QTest::newRow("201 with a valid record") << 201;
    }

    void staysSilentOnOtherStatuses() {
        QFETCH(int, status);
        Harness harness;
        harness.server.enqueue(QStringLiteral("/api/version"), HttpFixtureReply::json(status, record(99)));

        harness.run(true);

        QCOMPARE(harness.server.requestCount(), 1);
        QVERIFY(harness.alerts->shown.isEmpty());
        QCOMPARE(versionCheckLines(), QStringList());
    }

    void logsAnUndecodableRecord_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("not JSON") << QByteArray("<html>oops</html>");
        QTest::newRow("an array") << QByteArray("[1, 2]");
        QTest::newRow("no build") << QByteArray(
            "{\"version\": \"2\", \"download_url\": \"https://x.example/a\"}");
        QTest::newRow("build as a string") << QByteArray(
            "{\"version\": \"2\", \"build\": \"50\", \"download_url\": \"https://x.example/a\"}");
        QTest::newRow("fractional build")
            << QByteArray("{\"version\": \"2\", \"build\": 50.5, \"download_url\": \"https://x.example/a\"}");
        QTest::newRow("build beyond 64 bits")
            << QByteArray("{\"version\": \"2\", \"build\": 1e30, \"download_url\": \"https://x.example/a\"}");
        QTest::newRow("version not a string")
            << QByteArray("{\"version\": 2, \"build\": 50, \"download_url\": \"https://x.example/a\"}");
        QTest::newRow("no download_url") << QByteArray("{\"version\": \"2\", \"build\": 50}");
        QTest::newRow("release_notes not a string")
            << QByteArray("{\"version\": \"2\", \"build\": 50, \"download_url\": \"https://x.example/a\", "
                          "\"release_notes\": 1}");
    }

    void logsAnUndecodableRecord() {
        QFETCH(QByteArray, body);
        Harness harness;
        harness.server.enqueue(QStringLiteral("/api/version"), HttpFixtureReply::json(200, body));

        harness.run(true);

        QVERIFY(harness.alerts->shown.isEmpty());
        const QStringList lines = versionCheckLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.at(0).size() > QStringLiteral("VersionCheck: ").size() + 5, qPrintable(lines.at(0)));
    }

    void acceptsARecordWithExtraMembers() {
        Harness harness;
        harness.server.enqueue(
            QStringLiteral("/api/version"),
            HttpFixtureReply::json(200,
                                   QByteArray("{\"version\": \"2.0.0\", \"build\": 42, \"download_url\": "
                                              "\"https://x.example/a\", \"channel\": \"beta\"}")));
        harness.manager();
        harness.alerts->defaultAnswer = 1;
        harness.run(false);
        QCOMPARE(harness.alerts->shown.size(), 1);
    }

    void logsATransportError() {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        Harness harness;
        harness.baseURL = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port));

        harness.run(true);

        QVERIFY(harness.alerts->shown.isEmpty());
        const QStringList lines = versionCheckLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.at(0).contains(QStringLiteral("refused"), Qt::CaseInsensitive),
                 qPrintable(lines.at(0)));
    }

    void laterDoesNothing() {
        Harness harness;
        harness.server.enqueue(
            QStringLiteral("/api/version"),
            HttpFixtureReply::json(200, record(50, harness.server.url("/r.tar.gz").toString())));
        harness.manager();
        harness.alerts->answers = {1};

        harness.run(false);

        QCOMPARE(harness.server.requestCount(), 1);
        QVERIFY(harness.progress->texts.isEmpty());
        QVERIFY(harness.opener->opened.isEmpty());
        QCOMPARE(harness.quitCount, 0);
    }

    void ignoresADownloadAddressThatIsNoWebAddress_data() {
        QTest::addColumn<QString>("downloadURL");
        QTest::newRow("empty") << QString();
        QTest::newRow("not a URL") << QStringLiteral("http://exa mple.com/a b");
        QTest::newRow("relative") << QStringLiteral("releases/Voxlet.tar.gz");
        QTest::newRow("local file") << QStringLiteral("file:///etc/passwd");
        QTest::newRow("other scheme") << QStringLiteral("ftp://downloads.example/Voxlet.tar.gz");
    }

    void ignoresADownloadAddressThatIsNoWebAddress() {
        QFETCH(QString, downloadURL);
        Harness harness;
        harness.server.enqueue(QStringLiteral("/api/version"),
                               HttpFixtureReply::json(200, record(50, downloadURL)));
        harness.manager();
        harness.alerts->answers = {0};

        harness.run(true);

        QCOMPARE(harness.alerts->shown.size(), 1);
        QCOMPARE(harness.server.requestCount(), 1);
        QVERIFY(harness.opener->opened.isEmpty());
        QVERIFY(harness.launcher->requests.isEmpty());
        QCOMPARE(harness.quitCount, 0);
        QCOMPARE(versionCheckLines().size(), 1);
    }

    void downloadsAndStartsTheInstaller_data() {
        QTest::addColumn<bool>("redirected");
        QTest::newRow("direct") << false;
        // Release hosts commonly answer with a redirect to the file itself.
        QTest::newRow("redirected") << true;
    }

    void downloadsAndStartsTheInstaller() {
        QFETCH(bool, redirected);
        Harness harness;
        const QByteArray archive = tarArchive(QStringLiteral("Voxlet"));
        QVERIFY(!archive.isEmpty());
        const QUrl archiveURL =
            harness.server.url(QStringLiteral("/releases/Voxlet-2.0.0-linux-x86_64.tar.gz"));
        const QUrl downloadURL = redirected ? harness.server.url(QStringLiteral("/latest")) : archiveURL;
        harness.server.enqueue(QStringLiteral("/api/version"),
                               HttpFixtureReply::json(200, record(50, downloadURL.toString())));
        if (redirected) {
            HttpFixtureReply redirect = HttpFixtureReply::text(302, "");
            redirect.headers.append({"Location", archiveURL.toEncoded()});
            harness.server.enqueue(downloadURL.path(), redirect);
        }
        harness.server.enqueue(archiveURL.path(), HttpFixtureReply::text(200, archive, "application/gzip"));
        // An archive left from an earlier attempt is replaced.
        QVERIFY(::mkdir(QFile::encodeName(harness.updateFolder()).constData(), 0700) == 0);
        QVERIFY(writeFile(harness.archivePath(), "left over"));
        harness.manager();
        harness.alerts->answers = {0};
        QByteArray scriptWhenLaunched;
        int scriptModeWhenLaunched = -1;
        harness.launcher->onRequest = [&](const RecordingProcessLauncher::Request& request) {
            scriptWhenLaunched = readFile(request.arguments.value(0));
            scriptModeWhenLaunched = modeOf(request.arguments.value(0));
        };

        harness.run(false);

        QCOMPARE(harness.server.requestCount(), redirected ? 3 : 2);
        QCOMPARE(harness.server.requests().last().path, archiveURL.path());
        QCOMPARE(readFile(harness.archivePath()), archive);
        QCOMPARE(modeOf(harness.updateFolder()), 0700);

        QCOMPARE(harness.launcher->requests.size(), 1);
        const RecordingProcessLauncher::Request launch = harness.launcher->requests.at(0);
        QCOMPARE(launch.program, QStringLiteral("/bin/bash"));
        QCOMPARE(launch.arguments.size(), 4);
        const QFileInfo script(launch.arguments.at(0));
        QCOMPARE(script.path(), harness.updateFolder());
        QVERIFY(script.fileName().contains(
            QRegularExpression(QStringLiteral("^VoxletUpdater-[0-9A-F-]{36}\\.sh$"))));
        QCOMPARE(scriptWhenLaunched, InstallerScript::text());
        QCOMPARE(scriptModeWhenLaunched, 0700);
        QCOMPARE(launch.arguments.at(1), harness.archivePath());
        QCOMPARE(launch.arguments.at(2), QStringLiteral("/opt/Voxlet"));
        QCOMPARE(launch.arguments.at(3), QStringLiteral("4242"));

        QCOMPARE(harness.quitCount, 1);
        QVERIFY(harness.opener->opened.isEmpty());
        QCOMPARE(harness.progress->texts.size(), 1);
        QCOMPARE(harness.progress->endCount, 1);
        QVERIFY(!harness.progress->updates.isEmpty());
        QCOMPARE(harness.progress->updates.last().first, qint64(archive.size()));

        const QStringList lines = versionCheckLines();
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines.at(0).endsWith(QStringLiteral(" ") + downloadURL.toString()), qPrintable(lines.at(0)));
        QCOMPARE(lines.at(1),
                 QStringLiteral("VersionCheck: Download concluído, preparando instalação automática..."));
        QCOMPARE(lines.at(2), QStringLiteral("VersionCheck: Instalador auxiliar iniciado para /opt/Voxlet"));
    }

    void fallsBackToTheBrowser_data() {
        QTest::addColumn<HttpFixtureReply>("download");
        QTest::addColumn<bool>("launcherFails");
        QTest::addColumn<bool>("breakFolder");
        QTest::addColumn<QString>("reason"); // part of the fallback line
        const QByteArray page = "<html><body><h1>Not Found</h1></body></html>";
        const QByteArray release = tarArchive(QStringLiteral("Voxlet"));
        QTest::newRow("error page 404") << HttpFixtureReply::text(404, page, "text/html") << false << false
                                        << QStringLiteral("HTTP status 404");
        QTest::newRow("error page 500") << HttpFixtureReply::text(500, page, "text/html") << false << false
                                        << QStringLiteral("HTTP status 500");
        // Whatever the body looks like, an error status is no release.
        QTest::newRow("archive under an error status")
            << HttpFixtureReply::text(403, release, "application/gzip") << false << false
            << QStringLiteral("HTTP status 403");
        QTest::newRow("200 but not an archive")
            << HttpFixtureReply::text(200, page, "text/html") << false << false << QStringLiteral("tar");
        QTest::newRow("archive without Voxlet/")
            << HttpFixtureReply::text(200, tarArchive(QStringLiteral("Other")), "application/gzip") << false
            << false << QStringLiteral("no Voxlet/ folder");
        QTest::newRow("connection dropped")
            << HttpFixtureReply::dropConnection() << false << false << QString();
        QTest::newRow("installer does not start")
            << HttpFixtureReply::text(200, release, "application/gzip") << true << false
            << QStringLiteral("No such file or directory");
        QTest::newRow("no private folder") << HttpFixtureReply::text(200, release, "application/gzip")
                                           << false << true << QStringLiteral("not a private folder");
    }

    void fallsBackToTheBrowser() {
        QFETCH(HttpFixtureReply, download);
        QFETCH(bool, launcherFails);
        QFETCH(bool, breakFolder);
        QFETCH(QString, reason);
        Harness harness;
        const QUrl downloadURL = harness.server.url(QStringLiteral("/releases/Voxlet.tar.gz"));
        harness.server.enqueue(QStringLiteral("/api/version"),
                               HttpFixtureReply::json(200, record(50, downloadURL.toString())));
        harness.server.enqueue(downloadURL.path(), download);
        if (breakFolder) {
            // No runtime folder, and the temporary one is open to everybody.
            harness.environment.runtimeDirectory.clear();
            const QString shared = harness.environment.temporaryDirectory + QStringLiteral("/VoxletUpdate-") +
                                   QString::number(::geteuid());
            QVERIFY(QDir().mkpath(shared));
            QVERIFY(::chmod(QFile::encodeName(shared).constData(), 0777) == 0);
        }
        harness.manager();
        harness.alerts->answers = {0};
        if (launcherFails)
            harness.launcher->result = {false, QStringLiteral("No such file or directory")};

        harness.run(true);

        QCOMPARE(harness.quitCount, 0);
        QCOMPARE(harness.opener->opened, QList<QUrl>{downloadURL});
        QCOMPARE(harness.progress->endCount, breakFolder ? 0 : 1);
        const QStringList lines = versionCheckLines();
        QVERIFY(!lines.isEmpty());
        QVERIFY2(lines.last().startsWith(QStringLiteral(
                     "VersionCheck: Falha na instalação automática, recorrendo ao navegador: ")),
                 qPrintable(lines.last()));
        QVERIFY2(lines.last().contains(reason), qPrintable(lines.last()));
        if (launcherFails) {
            QCOMPARE(harness.launcher->requests.size(), 1);
            QVERIFY2(!QFile::exists(harness.launcher->requests.at(0).arguments.at(0)),
                     "the script must not stay");
        } else {
            QVERIFY(harness.launcher->requests.isEmpty());
            // Neither the error page nor a useless archive stays behind.
            QCOMPARE(harness.folderEntries(), QStringList());
        }
    }

    void cancellingTheDownloadKeepsRunning() {
        Harness harness;
        const QUrl downloadURL = harness.server.url(QStringLiteral("/releases/Voxlet.tar.gz"));
        harness.server.enqueue(QStringLiteral("/api/version"),
                               HttpFixtureReply::json(200, record(50, downloadURL.toString())));
        harness.server.enqueue(downloadURL.path(), HttpFixtureReply::neverAnswer());
        harness.manager();
        harness.alerts->answers = {0};

        QCoro::Task<> check = harness.manager().runCheck(true);
        QVERIFY(harness.server.waitForRequests(2));
        QVERIFY(harness.progress->isShown());
        QVERIFY(harness.progress->cancel());
        QCoro::waitFor(check);

        QCOMPARE(harness.quitCount, 0);
        QVERIFY(harness.opener->opened.isEmpty());
        QVERIFY(harness.launcher->requests.isEmpty());
        QCOMPARE(harness.progress->endCount, 1);
        QCOMPARE(harness.folderEntries(), QStringList());
        QCOMPARE(versionCheckLines().last(),
                 QStringLiteral("VersionCheck: Download da atualização cancelado pelo usuário."));
    }

    void survivesItsOwnDestructionDuringADownload() {
        Harness harness;
        const QUrl downloadURL = harness.server.url(QStringLiteral("/releases/Voxlet.tar.gz"));
        harness.server.enqueue(QStringLiteral("/api/version"),
                               HttpFixtureReply::json(200, record(50, downloadURL.toString())));
        harness.server.enqueue(downloadURL.path(), HttpFixtureReply::neverAnswer());
        harness.manager();
        harness.alerts->answers = {0};
        int quits = 0;
        harness.manager().quitApplication = [&quits] { ++quits; };

        QCoro::Task<> check = harness.manager().runCheck(true);
        QVERIFY(harness.server.waitForRequests(2));
        harness.destroyManager();
        QCoro::waitFor(check);

        QCOMPARE(quits, 0);
        QCOMPARE(harness.folderEntries(), QStringList());
    }

    void opensTheBrowserForASystemPackage() {
        Harness harness(QJsonObject{{"CFBundleVersion", "41"}}, QStringLiteral("/usr"));
        const QUrl downloadURL = harness.server.url(QStringLiteral("/releases/Voxlet.tar.gz"));
        harness.server.enqueue(QStringLiteral("/api/version"),
                               HttpFixtureReply::json(200, record(50, downloadURL.toString())));
        harness.manager();
        harness.alerts->answers = {0};

        harness.run(true);

        QCOMPARE(harness.server.requestCount(), 1);
        QCOMPARE(harness.opener->opened, QList<QUrl>{downloadURL});
        QVERIFY(harness.launcher->requests.isEmpty());
        QCOMPARE(harness.quitCount, 0);
        QCOMPARE(versionCheckLines().size(), 1);
        QVERIFY(versionCheckLines().at(0).endsWith(downloadURL.toString()));
    }

    void installTarget_data() {
        QTest::addColumn<QString>("runningTree");
        QTest::addColumn<QString>("expectedTarget"); // empty: managed by the system
        QTest::newRow("/opt/Voxlet") << "/opt/Voxlet"
                                     << "/opt/Voxlet";
        QTest::newRow("deeper under /opt") << "/opt/vendor/Voxlet"
                                           << "/opt/vendor/Voxlet";
        QTest::newRow("~/.local/opt") << "/home/someone/.local/opt/Voxlet"
                                      << "/home/someone/.local/opt/Voxlet";
        QTest::newRow("unclean path") << "/home/someone/.local/opt/./Voxlet/"
                                      << "/home/someone/.local/opt/Voxlet";
        QTest::newRow("Downloads") << "/home/someone/Downloads/Voxlet"
                                   << "/opt/Voxlet";
        QTest::newRow("a build folder") << "/work/main/build"
                                        << "/opt/Voxlet";
        QTest::newRow("/opt itself") << "/opt"
                                     << "/opt/Voxlet";
        QTest::newRow("~/.local/opt itself") << "/home/someone/.local/opt"
                                             << "/opt/Voxlet";
        QTest::newRow("a look-alike of /opt") << "/optional/Voxlet"
                                              << "/opt/Voxlet";
        QTest::newRow("escaping /opt") << "/opt/../home/someone/Voxlet"
                                       << "/opt/Voxlet";
        QTest::newRow("another user's ~/.local/opt") << "/home/other/.local/opt/Voxlet"
                                                     << "/opt/Voxlet";
        QTest::newRow("system package") << "/usr"
                                        << "";
        QTest::newRow("under /usr") << "/usr/lib/voxlet"
                                    << "";
    }

    void installTarget() {
        QFETCH(QString, runningTree);
        QFETCH(QString, expectedTarget);
        const InstallTarget target = InstallTarget::resolve(runningTree, QStringLiteral("/home/someone"));
        QCOMPARE(target.managedBySystem, expectedTarget.isEmpty());
        QCOMPARE(target.path, expectedTarget);
    }

    void privateFolder_data() {
        QTest::addColumn<QString>("runtimeMode"); // "private", "open", "none"
        QTest::addColumn<QString>("existing");    // what is already at the temporary folder's name
        QTest::addColumn<QString>("expected");    // "runtime", "temporary", "none"
        QTest::newRow("private runtime folder") << "private"
                                                << ""
                                                << "runtime";
        QTest::newRow("no runtime folder") << "none"
                                           << ""
                                           << "temporary";
        QTest::newRow("runtime folder open to others") << "open"
                                                       << ""
                                                       << "temporary";
        QTest::newRow("own private folder already there") << "none"
                                                          << "private"
                                                          << "temporary";
        QTest::newRow("folder open to others already there") << "none"
                                                             << "open"
                                                             << "none";
        QTest::newRow("a link in its place") << "none"
                                             << "link"
                                             << "none";
        QTest::newRow("a file in its place") << "none"
                                             << "file"
                                             << "none";
        if (::geteuid() == 0)
            QTest::newRow("another user's folder") << "none"
                                                   << "foreign"
                                                   << "none";
    }

    void privateFolder() {
        QFETCH(QString, runtimeMode);
        QFETCH(QString, existing);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString runtime = dir.filePath(QStringLiteral("run"));
        const QString temporary = dir.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(runtime) && QDir().mkpath(temporary));
        QVERIFY(::chmod(QFile::encodeName(runtime).constData(),
                        runtimeMode == QLatin1String("open") ? 0755 : 0700) == 0);
        const QString fallback = temporary + QStringLiteral("/VoxletUpdate-") + QString::number(::geteuid());
        const QByteArray fallbackName = QFile::encodeName(fallback);
        if (existing == QLatin1String("private") || existing == QLatin1String("open") ||
            existing == QLatin1String("foreign")) {
            QVERIFY(::mkdir(fallbackName.constData(), 0700) == 0);
            QVERIFY(::chmod(fallbackName.constData(), existing == QLatin1String("open") ? 0777 : 0700) == 0);
            if (existing == QLatin1String("foreign"))
                QVERIFY(::chown(fallbackName.constData(), 65534, 65534) == 0);
        } else if (existing == QLatin1String("link")) {
            QVERIFY(QFile::link(dir.path(), fallback));
        } else if (existing == QLatin1String("file")) {
            QVERIFY(writeFile(fallback, "x"));
        }

        const UpdateFolder folder =
            UpdateFolder::prepare(runtimeMode == QLatin1String("none") ? QString() : runtime, temporary);

        if (expected == QLatin1String("none")) {
            QVERIFY(!folder.isUsable());
            QVERIFY2(folder.error.contains(fallback), qPrintable(folder.error));
            return;
        }
        QVERIFY2(folder.isUsable(), qPrintable(folder.error));
        QCOMPARE(folder.path,
                 expected == QLatin1String("runtime") ? runtime + QStringLiteral("/VoxletUpdate") : fallback);
        QCOMPARE(modeOf(folder.path), 0700);
    }
};

QTEST_GUILESS_MAIN(VersionCheckTest)
#include "tst_version_check.moc"
