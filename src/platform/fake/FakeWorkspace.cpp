#include "platform/fake/FakeWorkspace.h"

FakeWorkspace::FakeWorkspace(Scheduler& eventScheduler)
    : scheduler(eventScheduler) {}

bool FakeWorkspace::activate(const RunningApplication& application) {
    activations.append(Activation{application, scheduler.now()});
    if (!activationSucceeds)
        return false;
    frontmost = application;
    return true;
}
