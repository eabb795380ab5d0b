#include "update/ReleaseArchiveCheck.h"

#include <QProcess>

#include <QCoroProcess>

namespace ReleaseArchiveCheck {

namespace {

constexpr int listingTimeoutMs = 120000;

bool isInstallTreeEntry(QString entry) {
    while (entry.startsWith(QLatin1String("./")))
        entry.remove(0, 2);
    return entry.startsWith(QLatin1String("Voxlet/"));
}

} // namespace

QCoro::Task<QString> problemWith(QString archivePath) {
    QProcess tar;
    tar.setProgram(QStringLiteral("tar"));
    tar.setArguments({QStringLiteral("-tf"), archivePath});
    if (!co_await qCoro(tar).start())
        co_return QStringLiteral("Cannot run tar to list the archive: %1").arg(tar.errorString());
    if (!co_await qCoro(tar).waitForFinished(listingTimeoutMs)) {
        tar.kill();
        tar.waitForFinished();
        co_return QStringLiteral("Listing the archive with tar did not finish");
    }
    if (tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0) {
        const QString why =
            QString::fromLocal8Bit(tar.readAllStandardError()).trimmed().section(QLatin1Char('\n'), 0, 0);
        co_return QStringLiteral("The downloaded file is not a readable archive (tar: %1)")
            .arg(why.isEmpty() ? QStringLiteral("exit code %1").arg(tar.exitCode()) : why);
    }
    const QStringList entries = QString::fromLocal8Bit(tar.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString& entry : entries) {
        if (isInstallTreeEntry(entry))
            co_return QString();
    }
    co_return QStringLiteral("The archive holds no Voxlet/ folder");
}

} // namespace ReleaseArchiveCheck
