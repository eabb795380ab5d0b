#pragma once

#include "platform/SystemLog.h"

#include <QStringList>

#include <mutex>

// Keeps what was sent to the system log, by level.
class RecordingSystemLog final : public SystemLog {
public:
    void info(const QString& message) override;
    void error(const QString& message) override;
    QStringList infos() const;
    QStringList errors() const;
    void clear();

private:
    mutable std::mutex mutex;
    QStringList infoLines;
    QStringList errorLines;
};
