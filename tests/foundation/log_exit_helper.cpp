// Logs many lines and returns from main at once: every line must still reach the file.
#include "dictation/AppLog.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    setAppLogToStandardOutput(false);
    const int count = application.arguments().value(1, QStringLiteral("1000")).toInt();
    for (int i = 0; i < count; ++i)
        appLog(QStringLiteral("line %1").arg(i));
    return 0;
}
