#pragma once

#include "platform/AlertPresenter.h"
#include "platform/DetachedProcessLauncher.h"
#include "platform/ProgressPresenter.h"
#include "platform/Scheduler.h"
#include "platform/UrlOpener.h"
#include "update/RemoteVersion.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QSettings;
class ReleaseDownloader;

// The desktop services the release check talks to. The manager owns the presenters and launchers.
struct VersionCheckPorts {
    Scheduler* scheduler = nullptr; // the clock of the interval rule; Scheduler::shared() when null
    std::unique_ptr<AlertPresenter> alerts;
    std::unique_ptr<ProgressPresenter> progress;
    std::unique_ptr<UrlOpener> urlOpener;
    std::unique_ptr<DetachedProcessLauncher> launcher;
    QNetworkAccessManager* network = nullptr; // sharedNetworkAccessManager() when null
};

// Facts about the running program and the user's folders that decide where things go.
struct VersionCheckEnvironment {
    QString bundleInfoPath; // the Info.json with CFBundleVersion and CFBundleShortVersionString
    QString runningTree;    // the install tree this process runs from
    QString homeDirectory;
    QString runtimeDirectory;   // $XDG_RUNTIME_DIR; may be empty
    QString temporaryDirectory; // where a private folder is made when there is no runtime folder
    QString settingsFile;       // the user settings (INI); empty for the program's own settings
    qint64 processId = 0;       // the process the installer waits for

    // This process's values.
    static VersionCheckEnvironment current();
};

// Finds out whether the backend offers a newer build and, if the user agrees, downloads the release
// archive and hands it to the installer script, which replaces the install tree after the program has
// quit and starts the new one. Dialogs and messages are in Portuguese.
class VersionCheckManager : public QObject {
    Q_OBJECT

public:
    VersionCheckManager(std::optional<QUrl> apiBaseURL, VersionCheckPorts ports,
                        VersionCheckEnvironment environment = VersionCheckEnvironment::current(),
                        QObject* parent = nullptr);
    ~VersionCheckManager() override;

    const std::optional<QUrl> apiBaseURL;
    inline static const QString lastCheckKey = QStringLiteral("VoxletLastVersionCheck");
    static constexpr double checkInterval = 86400; // seconds

    // Returns at once; the check goes on on the event loop. An automatic check (userInitiated false)
    // is skipped when the last check started less than checkInterval ago.
    void check(bool userInitiated);
    // The same check, for a caller that waits for it (including the alerts and an installation).
    QCoro::Task<> runCheck(bool userInitiated);
    // What "Instalar e Reiniciar" does with the record's download address.
    QCoro::Task<> installUpdate(QString downloadURL);

    // How the program ends once the installer runs; QCoreApplication::quit() unless replaced.
    std::function<void()> quitApplication;

private:
    QCoro::Task<std::optional<RemoteVersion>> fetchRecord();
    QCoro::Task<> download(QUrl url, QString targetPath);
    QString launchInstaller(const QString& folder, const QString& archivePath, const QString& target);
    void fallBackToBrowser(const QUrl& url, const QString& why);
    void openInBrowser(const QUrl& url);

    Scheduler& scheduler;
    VersionCheckPorts ports;
    VersionCheckEnvironment environment;
    std::unique_ptr<QSettings> settings;
    bool downloading = false;
    QPointer<ReleaseDownloader> activeDownload;
};
