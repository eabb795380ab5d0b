#pragma once

#include "update/VersionCheckManager.h"

// The release check's ports on the desktop: QMessageBox alerts, a QProgressDialog, the browser
// through QDesktopServices and detached QProcess launches, on the event-loop scheduler.
VersionCheckPorts desktopUpdatePorts();
