#include "platform/fake/RecordingSystemLog.h"

void RecordingSystemLog::info(const QString& message) {
    std::lock_guard lock(mutex);
    infoLines.append(message);
}

void RecordingSystemLog::error(const QString& message) {
    std::lock_guard lock(mutex);
    errorLines.append(message);
}

QStringList RecordingSystemLog::infos() const {
    std::lock_guard lock(mutex);
    return infoLines;
}

QStringList RecordingSystemLog::errors() const {
    std::lock_guard lock(mutex);
    return errorLines;
}

void RecordingSystemLog::clear() {
    std::lock_guard lock(mutex);
    infoLines.clear();
    errorLines.clear();
}
