// Borrows spare keycodes for characters the layout lacks, types them, prints "borrowed" and waits
// (without ending the typing call) until it is killed: the tests check that a termination signal
// still gives the keys back.

#include "dictation/AppLog.h"
#include "platform/x11/XTestKeyboardSink.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    setAppLogToStandardOutput(false);
    XTestKeyboardSink sink;
    if (!QCoro::waitFor(sink.beginTyping()).ready)
        return 2;
    QCoro::waitFor(sink.postText(QStringLiteral("ωψ€")));
    std::printf("borrowed\n");
    std::fflush(stdout);
    return application.exec();
}
