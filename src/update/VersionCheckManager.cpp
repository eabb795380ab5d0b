#include "update/VersionCheckManager.h"

#include "backend/AppConfiguration.h"
#include "backend/BundleInfo.h"
#include "backend/NetworkSession.h"
#include "dictation/AppLog.h"
#include "update/BundleVersion.h"
#include "update/InstallTarget.h"
#include "update/InstallerScript.h"
#include "update/ReleaseArchiveCheck.h"
#include "update/ReleaseDownloader.h"
#include "update/UpdateAlerts.h"
#include "update/UpdateFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSaveFile>
#include <QSettings>

#include <QCoroNetworkReply>

namespace {

constexpr int requestTimeoutMs = 60000;

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

double secondsSince1970(const QDateTime& time) {
    return double(time.toMSecsSinceEpoch()) / 1000.0;
}

} // namespace

VersionCheckEnvironment VersionCheckEnvironment::current() {
    VersionCheckEnvironment environment;
    environment.bundleInfoPath = BundleInfo::defaultPath();
    environment.runningTree = InstallTarget::runningTree();
    environment.homeDirectory = QDir::homePath();
    environment.runtimeDirectory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    environment.temporaryDirectory = QDir::tempPath();
    environment.processId = QCoreApplication::applicationPid();
    return environment;
}

VersionCheckManager::VersionCheckManager(std::optional<QUrl> baseURL, VersionCheckPorts checkPorts,
                                         VersionCheckEnvironment checkEnvironment, QObject* parent)
    : QObject(parent)
    , apiBaseURL(std::move(baseURL))
    , quitApplication([] { QCoreApplication::quit(); })
    , scheduler(checkPorts.scheduler ? *checkPorts.scheduler : Scheduler::shared())
    , ports(std::move(checkPorts))
    , environment(std::move(checkEnvironment))
    , settings(environment.settingsFile.isEmpty()
                   ? std::make_unique<QSettings>(QStringLiteral("Voxlet"), QStringLiteral("Voxlet"))
                   : std::make_unique<QSettings>(environment.settingsFile, QSettings::IniFormat)) {}

VersionCheckManager::~VersionCheckManager() {
    // A download in flight need not run to its end once nobody is there to install it.
    if (activeDownload)
        activeDownload->cancel();
}

void VersionCheckManager::check(bool userInitiated) {
    // The task runs on by itself; every resumption checks that the manager is still there.
    runCheck(userInitiated);
}

QCoro::Task<> VersionCheckManager::runCheck(bool userInitiated) {
    if (!apiBaseURL)
        co_return;
    const double now = secondsSince1970(scheduler.currentDateTime());
    if (!userInitiated) {
        const double lastCheck = settings->value(lastCheckKey, 0.0).toDouble();
        if (now - lastCheck < checkInterval)
            co_return;
    }
    // Written before asking, so that a check that fails still counts.
    settings->setValue(lastCheckKey, now);
    settings->sync();

    QPointer<VersionCheckManager> self(this);
    const std::optional<RemoteVersion> remote = co_await fetchRecord();
    if (!self || !remote)
        co_return;

    const std::optional<QJsonObject> info = BundleInfo::read(environment.bundleInfoPath);
    const qint64 currentBuild = BundleVersion::currentBuild(info);
    const QString shortVersion = BundleVersion::shortVersion(info);
    if (currentBuild < remote->build) {
        const int choice =
            ports.alerts->present(UpdateAlerts::updateAvailable(*remote, shortVersion, currentBuild));
        if (!self || choice != 0)
            co_return;
        co_await installUpdate(remote->downloadURL);
    } else if (userInitiated) {
        ports.alerts->present(UpdateAlerts::upToDate(shortVersion, currentBuild));
    }
}

QCoro::Task<std::optional<RemoteVersion>> VersionCheckManager::fetchRecord() {
    QNetworkRequest request(
        AppConfiguration::appendingPathComponent(*apiBaseURL, QStringLiteral("api/version")));
    request.setTransferTimeout(requestTimeoutMs);
    QNetworkAccessManager& network = ports.network ? *ports.network : sharedNetworkAccessManager();
    std::unique_ptr<QNetworkReply, DeleteLater> reply(network.get(request));
    co_await reply.get();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        if (reply->error() != QNetworkReply::NoError)
            appLog(QStringLiteral("VersionCheck: ") + reply->errorString());
        co_return std::nullopt;
    }
    if (status.toInt() != 200)
        co_return std::nullopt;
    QString error;
    std::optional<RemoteVersion> remote = RemoteVersion::decode(reply->readAll(), &error);
    if (!remote)
        appLog(QStringLiteral("VersionCheck: ") + error);
    co_return remote;
}

QCoro::Task<> VersionCheckManager::installUpdate(QString downloadURL) {
    const QUrl url(downloadURL, QUrl::StrictMode);
    // Only web addresses: anything else would be read from this machine or handed to some other
    // program by the desktop.
    const QString scheme = url.scheme().toLower();
    if (downloadURL.isEmpty() || !url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        appLog(QStringLiteral("VersionCheck: Endereço de download inválido, nada a fazer: ") + downloadURL);
        co_return;
    }
    const InstallTarget target = InstallTarget::resolve(environment.runningTree, environment.homeDirectory);
    if (target.managedBySystem) {
        appLog(QStringLiteral("VersionCheck: ") + environment.runningTree +
               QStringLiteral(
                   " pertence ao gerenciador de pacotes do sistema; abrindo o download no navegador: ") +
               url.toString());
        openInBrowser(url);
        co_return;
    }
    if (downloading) {
        appLog(QStringLiteral("VersionCheck: Um download da atualização já está em andamento; ignorando ") +
               url.toString());
        co_return;
    }
    downloading = true;
    QPointer<VersionCheckManager> self(this);
    co_await download(url, target.path);
    if (self)
        downloading = false;
}

QCoro::Task<> VersionCheckManager::download(QUrl url, QString targetPath) {
    appLog(QStringLiteral("VersionCheck: Baixando a atualização diretamente de ") + url.toString());
    const UpdateFolder folder =
        UpdateFolder::prepare(environment.runtimeDirectory, environment.temporaryDirectory);
    if (!folder.isUsable()) {
        fallBackToBrowser(url, folder.error);
        co_return;
    }
    const QString archivePath = folder.path + QLatin1Char('/') + UpdateFolder::archiveName;

    QNetworkAccessManager& network = ports.network ? *ports.network : sharedNetworkAccessManager();
    ReleaseDownloader downloader(network);
    QPointer<VersionCheckManager> self(this);
    downloader.onProgress = [self](qint64 received, qint64 total) {
        if (self)
            self->ports.progress->update(received, total);
    };
    ports.progress->begin(QStringLiteral("Baixando a atualização do Voxlet..."),
                          [&downloader] { downloader.cancel(); });
    activeDownload = &downloader;
    const ReleaseDownloader::Outcome outcome = co_await downloader.download(url, archivePath);
    if (!self)
        co_return;
    activeDownload = nullptr;
    ports.progress->end();

    switch (outcome.status) {
    case ReleaseDownloader::Outcome::Status::Cancelled:
        appLog(QStringLiteral("VersionCheck: Download da atualização cancelado pelo usuário."));
        co_return;
    case ReleaseDownloader::Outcome::Status::Failed:
        fallBackToBrowser(url, outcome.error);
        co_return;
    case ReleaseDownloader::Outcome::Status::Completed:
        break;
    }
    appLog(QStringLiteral("VersionCheck: Download concluído, preparando instalação automática..."));

    // Checked before quitting: a broken download must leave the program running.
    const QString problem = co_await ReleaseArchiveCheck::problemWith(archivePath);
    if (!self)
        co_return;
    if (!problem.isEmpty()) {
        QFile::remove(archivePath);
        fallBackToBrowser(url, problem);
        co_return;
    }

    const QString launchError = launchInstaller(folder.path, archivePath, targetPath);
    if (!launchError.isEmpty()) {
        fallBackToBrowser(url, launchError);
        co_return;
    }
    if (quitApplication)
        quitApplication();
}

QString VersionCheckManager::launchInstaller(const QString& folder, const QString& archivePath,
                                             const QString& target) {
    const QByteArray script = InstallerScript::text();
    if (script.isEmpty())
        return QStringLiteral("The installer script is missing from the program's resources");
    const QString scriptPath = folder + QLatin1Char('/') + InstallerScript::newFileName();
    QSaveFile file(scriptPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size() || !file.commit())
        return QStringLiteral("Cannot write the installer script %1: %2").arg(scriptPath, file.errorString());
    if (!QFile::setPermissions(scriptPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        QFile::remove(scriptPath);
        return QStringLiteral("Cannot make the installer script %1 executable").arg(scriptPath);
    }
    const DetachedProcessLauncher::Launch launch =
        ports.launcher->startDetached(QStringLiteral("/bin/bash"), {scriptPath, archivePath, target,
                                                                    QString::number(environment.processId)});
    if (!launch.started) {
        QFile::remove(scriptPath);
        return QStringLiteral("Cannot start the installer script: %1").arg(launch.error);
    }
    appLog(QStringLiteral("VersionCheck: Instalador auxiliar iniciado para ") + target);
    return {};
}

void VersionCheckManager::fallBackToBrowser(const QUrl& url, const QString& why) {
    appLog(QStringLiteral("VersionCheck: Falha na instalação automática, recorrendo ao navegador: ") + why);
    openInBrowser(url);
}

void VersionCheckManager::openInBrowser(const QUrl& url) {
    if (!ports.urlOpener->openUrl(url))
        appLog(QStringLiteral("VersionCheck: Não foi possível abrir o navegador para ") + url.toString());
}
