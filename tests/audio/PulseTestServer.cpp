#include "PulseTestServer.h"

#include "support/TestEnvironment.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <sys/types.h>

namespace {

QString serviceScript() {
    return TestEnvironment::sourceDir() + QStringLiteral("/scripts/services/pulse.sh");
}

} // namespace

bool PulseTestServer::sharedAvailable() {
    return TestEnvironment::hasService("PULSE") &&
           !qEnvironmentVariable("VOXLET_TEST_PULSE_SERVER").isEmpty();
}

PulseTestServer PulseTestServer::shared() {
    PulseTestServer server;
    server.serverAddress = qEnvironmentVariable("VOXLET_TEST_PULSE_SERVER");
    server.fifo = qEnvironmentVariable("VOXLET_TEST_PULSE_FIFO");
    return server;
}

std::unique_ptr<PulseTestServer> PulseTestServer::startPrivate() {
    std::unique_ptr<PulseTestServer> server(new PulseTestServer);
    server->privateDir = std::make_unique<QTemporaryDir>();
    QFile::setPermissions(server->privateDir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess script;
    script.start(QStringLiteral("bash"),
                 {serviceScript(), QStringLiteral("start"), server->privateDir->path()});
    if (!script.waitForFinished(20000) || script.exitCode() != 0) {
        server->failure = QString::fromUtf8(script.readAllStandardError());
        return server;
    }
    // The script prints "export NAME=value" lines.
    const QString exports = QString::fromUtf8(script.readAllStandardOutput());
    const QRegularExpression line(QStringLiteral("^export (\\w+)=(.*)$"),
                                  QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(exports); it.hasNext();) {
        const auto match = it.next();
        if (match.captured(1) == QLatin1String("VOXLET_TEST_PULSE_SERVER"))
            server->serverAddress = match.captured(2);
        else if (match.captured(1) == QLatin1String("VOXLET_TEST_PULSE_FIFO"))
            server->fifo = match.captured(2);
    }
    if (server->serverAddress.isEmpty())
        server->failure = QStringLiteral("the service script printed no server address");
    return server;
}

PulseTestServer::~PulseTestServer() {
    if (privateDir) {
        QProcess script;
        script.start(QStringLiteral("bash"), {serviceScript(), QStringLiteral("stop"), privateDir->path()});
        script.waitForFinished(10000);
    }
}

bool PulseTestServer::pactl(const QStringList& arguments, QString* output) {
    QProcess process;
    process.start(QStringLiteral("pactl"),
                  QStringList{QStringLiteral("--server=") + serverAddress} + arguments);
    const bool ok = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
                    process.exitCode() == 0;
    const QString out = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    if (output)
        *output = out;
    if (!ok)
        failure = QString::fromUtf8(process.readAllStandardError());
    return ok;
}

void PulseTestServer::kill() {
    if (!privateDir)
        return;
    QFile pidFile(privateDir->filePath(QStringLiteral("runtime/pulse/pid")));
    if (!pidFile.open(QIODevice::ReadOnly))
        return;
    const pid_t pid = static_cast<pid_t>(pidFile.readAll().trimmed().toLongLong());
    if (pid > 0)
        ::kill(pid, SIGKILL);
}
