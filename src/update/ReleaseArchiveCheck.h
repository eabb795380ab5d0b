#pragma once

#include <QCoroTask>
#include <QString>

// Looks into a downloaded release archive before the program quits for the installer: tar must list
// it without an error, and it must hold the Voxlet/ install tree.
namespace ReleaseArchiveCheck {

// Empty when the archive is fit to install; otherwise what is wrong with it.
QCoro::Task<QString> problemWith(QString archivePath);

} // namespace ReleaseArchiveCheck
