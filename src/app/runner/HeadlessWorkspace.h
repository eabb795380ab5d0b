#pragma once

#include "platform/Workspace.h"

// A desktop without windows: nothing is in front and nothing can be brought forward.
class HeadlessWorkspace final : public Workspace {
public:
    std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
    bool activate(const RunningApplication&) override { return false; }
};
