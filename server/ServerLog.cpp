#include "ServerLog.h"

#include <QDateTime>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

std::atomic<bool> toStandardOutput{true};
std::mutex outputMutex;

} // namespace

void serverLog(const QString& message) {
    if (!toStandardOutput.load())
        return;
    const QByteArray line =
        QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' ' + message.toUtf8() + '\n';
    std::lock_guard lock(outputMutex);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

void setServerLogToStandardOutput(bool enabled) {
    toStandardOutput.store(enabled);
}
