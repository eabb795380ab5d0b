#include "platform/x11/X11Workspace.h"

#include "dictation/AppLog.h"

#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

QString hex(quint64 value) {
    return QStringLiteral("0x") + QString::number(value, 16);
}

} // namespace

X11Workspace::X11Workspace() {
    if (const auto failure = x.failure())
        appLog(QStringLiteral("KeyboardManager: No workspace to capture or activate windows: ") + *failure);
}

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
    if (!x.usable())
        return std::nullopt;
    const auto active = x.cardinalProperty(x.root(), x.atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
    if (active && *active != XCB_NONE)
        return describeWindow(*active);

    // Without an EWMH window manager: the window holding the keyboard focus, or the top-level window
    // it belongs to.
    auto focus = std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)>(
        xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr), &std::free);
    std::optional<xcb_window_t> window = focus ? std::optional(focus->focus) : std::nullopt;
    for (int depth = 0; window && *window != XCB_NONE && *window != XCB_INPUT_FOCUS_POINTER_ROOT &&
                        *window != x.root() && depth < 32;
         ++depth) {
        if (x.property(*window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING))
            return describeWindow(*window);
        window = x.parentOf(*window);
    }
    return std::nullopt;
}

std::optional<RunningApplication> X11Workspace::describeWindow(quint64 windowId) {
    const auto window = xcb_window_t(windowId);
    if (!x.usable() || !x.windowExists(window))
        return std::nullopt;
    RunningApplication application;
    application.windowId = windowId;
    if (const auto pid = x.cardinalProperty(window, x.atom("_NET_WM_PID"), XCB_ATOM_CARDINAL))
        application.processIdentifier = *pid;
    // WM_CLASS holds the instance name and then the class name, each ended by a NUL.
    if (const auto wmClass = x.property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) {
        const QList<QByteArray> names = wmClass->split('\0');
        application.localizedName = QString::fromLocal8Bit(names.size() > 1 ? names[1] : names.value(0));
    }
    if (const auto title = x.property(window, x.atom("_NET_WM_NAME"), x.atom("UTF8_STRING")))
        application.title = QString::fromUtf8(*title);
    else if (const auto legacyTitle = x.property(window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY))
        application.title = QString::fromLatin1(*legacyTitle);
    return application;
}

bool X11Workspace::activate(const RunningApplication& application) {
    const QString name =
        application.localizedName.isEmpty() ? hex(application.windowId) : application.localizedName;
    if (const auto failure = x.failure()) {
        appLog(QStringLiteral("KeyboardManager: Cannot activate %1: %2").arg(name, *failure));
        return false;
    }
    const auto window = xcb_window_t(application.windowId);
    if (!x.windowExists(window)) {
        appLog(QStringLiteral("KeyboardManager: Cannot activate %1: its window %2 is gone")
                   .arg(name, hex(application.windowId)));
        return false;
    }
    const xcb_timestamp_t time = x.serverTime();
    const auto supported = x.atomListProperty(x.root(), x.atom("_NET_SUPPORTED"));
    const xcb_atom_t activeWindow = x.atom("_NET_ACTIVE_WINDOW");
    if (std::find(supported.begin(), supported.end(), activeWindow) == supported.end()) {
        // No EWMH window manager to ask: raise the window and give it the focus directly.
        const uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(x.get(), window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_set_input_focus(x.get(), XCB_INPUT_FOCUS_PARENT, window, time);
        x.sync();
        return true;
    }
    xcb_client_message_event_t request{};
    request.response_type = XCB_CLIENT_MESSAGE;
    request.format = 32;
    request.window = window;
    request.type = activeWindow;
    request.data.data32[0] = 2; // from a pager: honoured without focus-stealing checks
    request.data.data32[1] = time;
    request.data.data32[2] = XCB_NONE;
    xcb_send_event(x.get(), 0, x.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&request));
    x.sync();
    return true;
}
