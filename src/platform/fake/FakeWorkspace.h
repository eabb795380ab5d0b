#pragma once

#include "platform/Scheduler.h"
#include "platform/Workspace.h"

#include <QList>

#include <optional>

// A desktop whose front window the test sets; activations are recorded and move the front.
class FakeWorkspace final : public Workspace {
public:
    struct Activation {
        RunningApplication application;
        Scheduler::TimePoint at;
    };

    explicit FakeWorkspace(Scheduler& scheduler);

    std::optional<RunningApplication> frontmostApplication() override { return frontmost; }
    bool activate(const RunningApplication& application) override;

    std::optional<RunningApplication> frontmost;
    // When false, activations are recorded but fail and leave the front as it is.
    bool activationSucceeds = true;
    QList<Activation> activations;

private:
    Scheduler& scheduler;
};
