#pragma once

#include "platform/SystemLog.h"

// Sends messages to the systemd journal; where no journal runs the sends fail quietly.
class JournalSystemLog final : public SystemLog {
public:
    void info(const QString& message) override;
    void error(const QString& message) override;
};
