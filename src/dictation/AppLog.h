#pragma once

#include <QString>

#include <memory>

class SystemLog;

// The one logging function: standard output, the system log, then the diagnostics file.
// Returns at once and may be called from any thread.
void appLog(const QString& message);

// Installs the system log that appLog writes to (none until the program installs one).
// Meant for start-up, before other threads log.
void setAppSystemLog(std::shared_ptr<SystemLog> log);
std::shared_ptr<SystemLog> appSystemLog();

// Whether appLog also prints to standard output (on by default; the test runners may turn it off).
void setAppLogToStandardOutput(bool enabled);
