#include "BackendServer.h"
#include "ServerLog.h"
#include "platform/Scheduler.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("voxlet-backend"));
    // Refused WebSocket upgrades are logged by us with their reason; Qt's own line only misleads.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));

    QString error;
    QString help;
    const std::optional<BackendConfig> config = BackendConfig::fromArguments(app.arguments(), &error, &help);
    if (!config) {
        if (!help.isEmpty()) {
            std::fputs(help.toLocal8Bit().constData(), stdout);
            return 0;
        }
        std::fprintf(stderr, "voxlet-backend: %s\n", error.toLocal8Bit().constData());
        return 2;
    }

    BackendServer server(*config, Scheduler::shared());
    if (!server.start(&error)) {
        serverLog(QStringLiteral("Backend: cannot start: ") + error);
        return 1;
    }
    // SIGTERM and SIGINT end the event loop, so the process exits cleanly.
    for (int sig : {SIGTERM, SIGINT})
        std::signal(sig, [](int) { QCoreApplication::quit(); });
    return app.exec();
}
