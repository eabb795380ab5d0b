// The desktop side of the release check. The dialogs are shown for real on the offscreen platform and
// answered the way a user would, by clicking their buttons or pressing Escape; programs are started
// for real, up to a whole update from the server's record to the new program running.
#include "dictation/AppLog.h"
#include "platform/fake/ManualScheduler.h"
#include "platform/fake/RecordingProcessLauncher.h"
#include "platform/fake/RecordingProgressPresenter.h"
#include "platform/fake/RecordingUrlOpener.h"
#include "platform/fake/ScriptedAlertPresenter.h"
#include "support/HttpFixture.h"
#include "update/MessageBoxAlertPresenter.h"
#include "update/ProgressDialogPresenter.h"
#include "update/QtDetachedProcessLauncher.h"
#include "update/UpdateAlerts.h"
#include "update/VersionCheckManager.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

#include <sys/stat.h>

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner);
}

// An install tree whose program writes its version into `marker` when it runs.
void makeTree(const QString& path, const QByteArray& version, const QString& marker) {
    writeFile(path + QStringLiteral("/VERSION"), version);
    writeFile(path + QStringLiteral("/bin/voxlet"),
              "#!/bin/sh\necho " + version + " > '" + marker.toUtf8() + "'\n", true);
}

struct SeenMessageBox {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QString informativeText;
    QStringList buttons;
    QString defaultButton;
    bool modal = false;
};

// Once a message box is the active modal window, notes what it shows and answers it with `action`:
// "Escape", or the text of the button to click.
void answerMessageBox(const QString& action, SeenMessageBox& seen) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action, &seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        seen.icon = box->icon();
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.informativeText = box->informativeText();
        for (QAbstractButton* button : box->buttons())
            seen.buttons.append(button->text());
        seen.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        seen.modal = box->isModal();
        if (action == QLatin1String("Escape")) {
            QTest::keyClick(box, Qt::Key_Escape);
            return;
        }
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == action) {
                button->click();
                return;
            }
        }
        box->reject();
    });
    timer->start();
}

} // namespace

class UpdateDesktopTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir stateHome;

private Q_SLOTS:
    void initTestCase() {
        qputenv("XDG_STATE_HOME", stateHome.path().toUtf8());
        setAppLogToStandardOutput(false);
    }

    void messageBoxAnswers_data() {
        QTest::addColumn<bool>("updateAlert");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("expectedChoice");
        QTest::newRow("install") << true << QStringLiteral("Instalar e Reiniciar") << 0;
        QTest::newRow("later") << true << QStringLiteral("Depois") << 1;
        QTest::newRow("Escape means later") << true << QStringLiteral("Escape") << 1;
        QTest::newRow("up to date, OK") << false << QStringLiteral("OK") << 0;
    }

    void messageBoxAnswers() {
        QFETCH(bool, updateAlert);
        QFETCH(QString, action);
        QFETCH(int, expectedChoice);
        RemoteVersion remote;
        remote.version = QStringLiteral("2.0.0");
        remote.build = 50;
        const Alert alert = updateAlert ? UpdateAlerts::updateAvailable(remote, QStringLiteral("1.4.0"), 41)
                                        : UpdateAlerts::upToDate(QStringLiteral("1.4.0"), 41);
        MessageBoxAlertPresenter presenter;
        SeenMessageBox seen;
        answerMessageBox(action, seen);

        QCOMPARE(presenter.present(alert), expectedChoice);

        QCOMPARE(seen.icon, QMessageBox::Information);
        QCOMPARE(seen.title, QStringLiteral("Voxlet"));
        QCOMPARE(seen.text, alert.message);
        QCOMPARE(seen.informativeText, alert.informativeText);
        QCOMPARE(seen.buttons, alert.buttons);
        QCOMPARE(seen.defaultButton, alert.buttons.first());
        QVERIFY(seen.modal);
    }

    void checkShowsARealAlert_data() {
        QTest::addColumn<qint64>("remoteBuild");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("expectedText");
        QTest::addColumn<QString>("expectedInformativeText");
        QTest::newRow("update available, later")
            << qint64(50) << QStringLiteral("Depois") << QStringLiteral("Voxlet 2.0.0 disponível")
            << QStringLiteral("Você está na versão 1.4.0 (build 41). Uma nova versão foi lançada.\n\n"
                              "Melhorias e correções.");
        QTest::newRow("up to date")
            << qint64(41) << QStringLiteral("OK") << QStringLiteral("Voxlet está atualizado")
            << QStringLiteral(
                   "Você está na versão 1.4.0 (build 41), que é a versão mais recente disponível.");
    }

    // The whole check with the real dialog: the record comes from the server, the alert is closed here.
    void checkShowsARealAlert() {
        QFETCH(qint64, remoteBuild);
        QFETCH(QString, action);
        QFETCH(QString, expectedText);
        QFETCH(QString, expectedInformativeText);
        QTemporaryDir dir;
        HttpFixture server;
        server.enqueue(
            QStringLiteral("/api/version"),
            HttpFixtureReply::json(200, QJsonObject{{"version", "2.0.0"},
                                                    {"build", remoteBuild},
                                                    {"download_url", server.url("/r.tar.gz").toString()}}));
        VersionCheckEnvironment environment;
        environment.bundleInfoPath = dir.filePath(QStringLiteral("Info.json"));
        QFile info(environment.bundleInfoPath);
        QVERIFY(info.open(QIODevice::WriteOnly));
        info.write(
            QJsonDocument(QJsonObject{{"CFBundleVersion", "41"}, {"CFBundleShortVersionString", "1.4.0"}})
                .toJson());
        info.close();
        environment.runningTree = QStringLiteral("/opt/Voxlet");
        environment.runtimeDirectory = dir.path();
        environment.temporaryDirectory = dir.path();
        environment.settingsFile = dir.filePath(QStringLiteral("Voxlet.conf"));
        ManualScheduler scheduler;
        VersionCheckPorts ports;
        ports.scheduler = &scheduler;
        ports.alerts = std::make_unique<MessageBoxAlertPresenter>();
        ports.progress = std::make_unique<RecordingProgressPresenter>();
        auto* progress = static_cast<RecordingProgressPresenter*>(ports.progress.get());
        ports.urlOpener = std::make_unique<RecordingUrlOpener>();
        ports.launcher = std::make_unique<RecordingProcessLauncher>();
        VersionCheckManager manager(server.url(QStringLiteral("/")), std::move(ports), environment);
        int quits = 0;
        manager.quitApplication = [&quits] { ++quits; };
        SeenMessageBox seen;
        answerMessageBox(action, seen);

        QCoro::waitFor(manager.runCheck(true));

        QCOMPARE(seen.text, expectedText);
        QCOMPARE(seen.informativeText, expectedInformativeText);
        QCOMPARE(server.requestCount(), 1);
        QVERIFY(progress->texts.isEmpty());
        QCOMPARE(quits, 0);
    }

    void detachedLauncherStartsPrograms() {
        QTemporaryDir dir;
        QtDetachedProcessLauncher launcher;
        const QString marker = dir.filePath(QStringLiteral("started"));

        const auto launch = launcher.startDetached(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("echo \"$0\" > \"$1\""), QStringLiteral("hello"), marker});
        QVERIFY2(launch.started, qPrintable(launch.error));
        QTRY_COMPARE(readFile(marker), QByteArray("hello\n"));

        const auto missing = launcher.startDetached(dir.filePath(QStringLiteral("no-such-program")), {});
        QVERIFY(!missing.started);
        QVERIFY(!missing.error.isEmpty());
    }

    // From the record on the server to the new program running in place of the old tree.
    void installsAReleaseEndToEnd() {
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("started"));
        const QString home = dir.filePath(QStringLiteral("home"));
        const QString tree = home + QStringLiteral("/.local/opt/Voxlet");
        makeTree(tree, "1", marker);
        const QString staging = dir.filePath(QStringLiteral("staging"));
        makeTree(staging + QStringLiteral("/Voxlet"), "2", marker);
        QProcess tar;
        tar.start(QStringLiteral("tar"),
                  {QStringLiteral("-czf"), dir.filePath(QStringLiteral("release.tar.gz")),
                   QStringLiteral("-C"), staging, QStringLiteral("Voxlet")});
        QVERIFY(tar.waitForFinished() && tar.exitCode() == 0);

        HttpFixture server;
        const QUrl downloadURL = server.url(QStringLiteral("/Voxlet-2.0.0-linux-x86_64.tar.gz"));
        server.enqueue(QStringLiteral("/api/version"),
                       HttpFixtureReply::json(200, QJsonObject{{"version", "2.0.0"},
                                                               {"build", 50},
                                                               {"download_url", downloadURL.toString()}}));
        server.enqueue(downloadURL.path(),
                       HttpFixtureReply::text(200, readFile(dir.filePath(QStringLiteral("release.tar.gz"))),
                                              "application/gzip"));

        // The process the installer waits for, standing in for this program.
        QProcess running;
        running.start(QStringLiteral("sleep"), {QStringLiteral("120")});
        QVERIFY(running.waitForStarted());

        VersionCheckEnvironment environment;
        environment.bundleInfoPath = dir.filePath(QStringLiteral("Info.json"));
        writeFile(environment.bundleInfoPath, "{\"CFBundleVersion\": \"41\"}");
        environment.runningTree = tree;
        environment.homeDirectory = home;
        environment.runtimeDirectory = dir.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(environment.runtimeDirectory));
        QVERIFY(::chmod(QFile::encodeName(environment.runtimeDirectory).constData(), 0700) == 0);
        environment.temporaryDirectory = dir.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(environment.temporaryDirectory));
        environment.settingsFile = dir.filePath(QStringLiteral("Voxlet.conf"));
        environment.processId = running.processId();
        // The installer extracts into the temporary folder it inherits.
        const QByteArray savedTemporary = qgetenv("TMPDIR");
        qputenv("TMPDIR", environment.temporaryDirectory.toUtf8());

        ManualScheduler scheduler;
        VersionCheckPorts ports;
        ports.scheduler = &scheduler;
        auto alerts = std::make_unique<ScriptedAlertPresenter>();
        alerts->answers = {0};
        ports.alerts = std::move(alerts);
        ports.progress = std::make_unique<RecordingProgressPresenter>();
        ports.urlOpener = std::make_unique<RecordingUrlOpener>();
        auto* opener = static_cast<RecordingUrlOpener*>(ports.urlOpener.get());
        ports.launcher = std::make_unique<QtDetachedProcessLauncher>();
        VersionCheckManager manager(server.url(QStringLiteral("/")), std::move(ports), environment);
        manager.quitApplication = [&running] { running.kill(); };

        QCoro::waitFor(manager.runCheck(false));
        if (savedTemporary.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", savedTemporary);

        QVERIFY(opener->opened.isEmpty());
        QCOMPARE(server.requestCount(), 2);
        const QString folder = environment.runtimeDirectory + QStringLiteral("/VoxletUpdate");
        QTRY_COMPARE_WITH_TIMEOUT(readFile(marker), QByteArray("2\n"), 30000);
        QCOMPARE(readFile(tree + QStringLiteral("/VERSION")), QByteArray("2"));
        // The archive and the script are gone; the installer's log stays.
        QTRY_COMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("VoxletUpdater.log")});
        QVERIFY(readFile(folder + QStringLiteral("/VoxletUpdater.log")).contains("Update installed"));
        QTRY_COMPARE(QDir(environment.temporaryDirectory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList());
    }

    void progressDialogShowsAndCancels() {
        ProgressDialogPresenter presenter;
        int cancels = 0;
        presenter.begin(QStringLiteral("Baixando a atualização do Voxlet..."), [&cancels] { ++cancels; });
        QPointer<QProgressDialog> dialog = presenter.dialog();
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());
        QCOMPARE(dialog->labelText(), QStringLiteral("Baixando a atualização do Voxlet..."));

        presenter.update(3, -1);
        QCOMPARE(dialog->maximum(), 0); // a busy indicator while the size is unknown
        // Sizes beyond what an int holds still show as a fraction.
        presenter.update(qint64(3) << 32, qint64(12) << 32);
        QCOMPARE(dialog->maximum(), 1000);
        QCOMPARE(dialog->value(), 250);

        QPushButton* cancel = nullptr;
        for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
            if (button->text() == QLatin1String("Cancelar"))
                cancel = button;
        }
        QVERIFY(cancel);
        cancel->click();
        QCOMPARE(cancels, 1);

        presenter.end();
        QVERIFY(!presenter.dialog());
        QTRY_VERIFY(!dialog);
        QCOMPARE(cancels, 1);
    }
};

QTEST_MAIN(UpdateDesktopTest)
#include "tst_update_desktop.moc"
