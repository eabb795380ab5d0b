#pragma once

#include <QString>

// The desktop's system log (the journal on Linux). appLog writes every message at the information
// level; the diagnostics file reports its own failures at the error level.
class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void info(const QString& message) = 0;
    virtual void error(const QString& message) = 0;
};
