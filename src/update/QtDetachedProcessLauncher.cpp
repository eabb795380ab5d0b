#include "update/QtDetachedProcessLauncher.h"

#include <QProcess>

DetachedProcessLauncher::Launch QtDetachedProcessLauncher::startDetached(const QString& program,
                                                                         const QStringList& arguments) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached())
        return Launch{false, process.errorString()};
    return Launch{true, QString()};
}
