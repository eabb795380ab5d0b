#include "dictation/AppLog.h"

#include "dictation/DiagnosticsLog.h"
#include "platform/SystemLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

std::mutex systemLogMutex;
std::shared_ptr<SystemLog> installedSystemLog;
std::atomic<bool> toStandardOutput{true};

} // namespace

void setAppSystemLog(std::shared_ptr<SystemLog> log) {
    std::lock_guard lock(systemLogMutex);
    installedSystemLog = std::move(log);
}

std::shared_ptr<SystemLog> appSystemLog() {
    std::lock_guard lock(systemLogMutex);
    return installedSystemLog;
}

void setAppLogToStandardOutput(bool enabled) {
    toStandardOutput = enabled;
}

void appLog(const QString& message) {
    if (toStandardOutput.load(std::memory_order_relaxed)) {
        QByteArray line = message.toUtf8();
        line.append('\n');
        // One call per line keeps lines from different threads whole.
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
        std::fflush(stdout);
    }
    if (auto log = appSystemLog())
        log->info(message);
    DiagnosticsLog::shared().write(message);
}
