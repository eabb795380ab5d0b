#include "update/UpdateFolder.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An existing directory (not a link to one) owned by this user that no one else may enter.
QString privacyProblem(const QString& path) {
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISDIR(status.st_mode))
        return QStringLiteral("not a folder");
    if (status.st_uid != ::geteuid())
        return QStringLiteral("owned by another user");
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return QStringLiteral("open to other users (mode %1)")
            .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return {};
}

UpdateFolder makePrivate(const QString& path) {
    if (::mkdir(QFile::encodeName(path).constData(), S_IRWXU) != 0 && errno != EEXIST)
        return UpdateFolder{
            QString(),
            QStringLiteral("Cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)))};
    const QString problem = privacyProblem(path);
    if (!problem.isEmpty())
        return UpdateFolder{QString(), QStringLiteral("%1 is not a private folder: %2").arg(path, problem)};
    return UpdateFolder{path, QString()};
}

} // namespace

UpdateFolder UpdateFolder::prepare(const QString& runtimeDirectory, const QString& temporaryDirectory) {
    if (!runtimeDirectory.isEmpty() && privacyProblem(runtimeDirectory).isEmpty())
        return makePrivate(runtimeDirectory + QStringLiteral("/VoxletUpdate"));
    return makePrivate(temporaryDirectory + QStringLiteral("/VoxletUpdate-") + QString::number(::geteuid()));
}
