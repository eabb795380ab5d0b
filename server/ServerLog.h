#pragma once

#include <QString>

// voxlet-backend's log: one time-stamped line per event on standard output (run-local keeps it in
// the data folder). It is a separate program, so its lines stay out of the client's diagnostics file.
// Safe to call from any thread.
void serverLog(const QString& message);

// Tests turn the output off.
void setServerLogToStandardOutput(bool enabled);
