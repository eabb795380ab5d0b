#include "platform/x11/XcbConnection.h"

#include <QElapsedTimer>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>

namespace {

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T> Reply<T> reply(T* value) {
    return Reply<T>(value, &std::free);
}

} // namespace

XcbConnection::XcbConnection() {
    name = qEnvironmentVariable("DISPLAY");
    if (name.isEmpty()) {
        setupFailure =
            qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                ? QStringLiteral("No X display (DISPLAY is not set): typing needs an X11 session")
                : QStringLiteral("This Wayland session has no X11 display (Xwayland): typing needs "
                                 "an X11 session");
        return;
    }
    int screenNumber = 0;
    connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        setupFailure = QStringLiteral("Cannot connect to the X display %1").arg(name);
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int index = 0; screens.rem > 0; ++index, xcb_screen_next(&screens)) {
        if (index == screenNumber) {
            rootWindow = screens.data->root;
            break;
        }
    }
    if (rootWindow == XCB_NONE)
        setupFailure = QStringLiteral("The X display %1 has no screen %2").arg(name).arg(screenNumber);
}

XcbConnection::~XcbConnection() {
    if (connection)
        xcb_disconnect(connection);
}

std::optional<QString> XcbConnection::failure() const {
    if (setupFailure)
        return setupFailure;
    if (xcb_connection_has_error(connection))
        return QStringLiteral("The connection to the X display %1 was lost").arg(name);
    return std::nullopt;
}

xcb_atom_t XcbConnection::atom(const char* atomName) {
    const QByteArray key(atomName);
    if (const auto found = atoms.constFind(key); found != atoms.constEnd())
        return *found;
    auto answer = reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(key.size()), key.constData()),
        nullptr));
    const xcb_atom_t value = answer ? answer->atom : xcb_atom_t(XCB_ATOM_NONE);
    if (value != XCB_ATOM_NONE)
        atoms.insert(key, value);
    return value;
}

std::optional<QByteArray> XcbConnection::property(xcb_window_t window, xcb_atom_t propertyAtom,
                                                  xcb_atom_t type) {
    auto answer = reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, propertyAtom, type, 0, 1 << 16), nullptr));
    if (!answer || answer->type == XCB_ATOM_NONE)
        return std::nullopt;
    const int length = xcb_get_property_value_length(answer.get());
    return QByteArray(static_cast<const char*>(xcb_get_property_value(answer.get())), length);
}

std::optional<quint32> XcbConnection::cardinalProperty(xcb_window_t window, xcb_atom_t propertyAtom,
                                                       xcb_atom_t type) {
    const auto value = property(window, propertyAtom, type);
    if (!value || value->size() < 4)
        return std::nullopt;
    quint32 result = 0;
    std::memcpy(&result, value->constData(), sizeof result);
    return result;
}

std::vector<xcb_atom_t> XcbConnection::atomListProperty(xcb_window_t window, xcb_atom_t propertyAtom) {
    std::vector<xcb_atom_t> result;
    if (const auto value = property(window, propertyAtom, XCB_ATOM_ATOM)) {
        result.resize(static_cast<size_t>(value->size()) / sizeof(xcb_atom_t));
        if (!result.empty())
            std::memcpy(result.data(), value->constData(), result.size() * sizeof(xcb_atom_t));
    }
    return result;
}

bool XcbConnection::windowExists(xcb_window_t window) {
    if (window == XCB_NONE)
        return false;
    auto answer = reply(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr));
    return answer != nullptr;
}

std::optional<xcb_window_t> XcbConnection::parentOf(xcb_window_t window) {
    auto answer = reply(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
    if (!answer || answer->parent == XCB_NONE || window == rootWindow)
        return std::nullopt;
    return answer->parent;
}

xcb_timestamp_t XcbConnection::serverTime() {
    if (timeWindow == XCB_NONE) {
        timeWindow = xcb_generate_id(connection);
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, timeWindow, rootWindow, -1, -1, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    }
    // Appending nothing to a property still makes the server report the change with its time.
    const xcb_atom_t marker = atom("_VOXLET_TIMESTAMP");
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, timeWindow, marker, XCB_ATOM_CARDINAL, 32, 0,
                        nullptr);
    xcb_flush(connection);

    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 1000 && !xcb_connection_has_error(connection)) {
        while (auto* event = xcb_poll_for_event(connection)) {
            auto owned = reply(event);
            if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
                if (notify->window == timeWindow && notify->atom == marker)
                    return notify->time;
            }
        }
        pollfd descriptor{xcb_get_file_descriptor(connection), POLLIN, 0};
        ::poll(&descriptor, 1, 10);
    }
    return XCB_CURRENT_TIME;
}

void XcbConnection::sync() {
    auto answer = reply(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    Q_UNUSED(answer);
}
