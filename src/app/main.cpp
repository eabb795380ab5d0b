#include "dictation/AppLog.h"
#include "platform/journal/JournalSystemLog.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Voxlet"));
    QApplication::setApplicationName(QStringLiteral("Voxlet"));
    QApplication::setQuitOnLastWindowClosed(false);
    setAppSystemLog(std::make_shared<JournalSystemLog>());

    appLog(QStringLiteral("AppDelegate: Voxlet %1 starting").arg(QStringLiteral(VOXLET_VERSION_TEXT)));
    if (application.arguments().contains(QStringLiteral("--version")))
        return 0;
    return application.exec();
}
