#pragma once

#include <QString>

#include <optional>

// An application window as the desktop sees it: what a dictation types into and brings back to the
// front. On X11 the window is the client window the window manager calls active.
struct RunningApplication {
    quint64 windowId = 0;
    // 0 when the window does not say which process owns it.
    qint64 processIdentifier = 0;
    // The name shown for the application (the window's class name); empty when it has none.
    QString localizedName;
    QString title;

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

// The desktop's windows: which application is in front, and bringing one back to the front.
class Workspace {
public:
    virtual ~Workspace() = default;

    // The application whose window is active now; nothing when no window is (or the desktop cannot
    // tell).
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // Asks the desktop to make the application's window active again. False (with a log line saying
    // why) when the request could not be made, for example because the window is gone.
    virtual bool activate(const RunningApplication& application) = 0;
};
