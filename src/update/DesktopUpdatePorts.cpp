#include "update/DesktopUpdatePorts.h"

#include "update/DesktopUrlOpener.h"
#include "update/MessageBoxAlertPresenter.h"
#include "update/ProgressDialogPresenter.h"
#include "update/QtDetachedProcessLauncher.h"

VersionCheckPorts desktopUpdatePorts() {
    VersionCheckPorts ports;
    ports.scheduler = &Scheduler::shared();
    ports.alerts = std::make_unique<MessageBoxAlertPresenter>();
    ports.progress = std::make_unique<ProgressDialogPresenter>();
    ports.urlOpener = std::make_unique<DesktopUrlOpener>();
    ports.launcher = std::make_unique<QtDetachedProcessLauncher>();
    return ports;
}
