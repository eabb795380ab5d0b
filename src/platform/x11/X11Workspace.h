#pragma once

#include "platform/Workspace.h"
#include "platform/x11/XcbConnection.h"

// The workspace of an X11 desktop with an EWMH window manager: the active window (_NET_ACTIVE_WINDOW)
// with its process (_NET_WM_PID), class name (WM_CLASS) and title (_NET_WM_NAME or WM_NAME), and
// activation by a _NET_ACTIVE_WINDOW request as a pager would send it.
class X11Workspace final : public Workspace {
public:
    X11Workspace();

    std::optional<RunningApplication> frontmostApplication() override;
    bool activate(const RunningApplication& application) override;

    // Reads what the workspace knows about one window (nothing when it is gone).
    std::optional<RunningApplication> describeWindow(quint64 windowId);

private:
    XcbConnection x;
};
