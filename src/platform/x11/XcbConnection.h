#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <xcb/xcb.h>

#include <optional>
#include <vector>

// One client connection to the X display named by DISPLAY, with the small property helpers the
// keyboard and workspace adapters share. Not thread-safe: used from the GUI thread.
class XcbConnection {
public:
    // Connects at once; see failure() when it did not work.
    XcbConnection();
    ~XcbConnection();
    XcbConnection(const XcbConnection&) = delete;
    XcbConnection& operator=(const XcbConnection&) = delete;

    // Why there is no usable connection (no DISPLAY, a Wayland session without X, a refused or
    // broken connection), or nothing when it is usable.
    std::optional<QString> failure() const;
    bool usable() const { return !failure(); }
    xcb_connection_t* get() const { return connection; }
    xcb_window_t root() const { return rootWindow; }
    const QString& displayName() const { return name; }

    xcb_atom_t atom(const char* atomName);

    // The raw value of a property (any type), or nothing when the window has none (or is gone).
    std::optional<QByteArray> property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
    std::optional<quint32> cardinalProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
    std::vector<xcb_atom_t> atomListProperty(xcb_window_t window, xcb_atom_t property);

    // Whether the window still exists.
    bool windowExists(xcb_window_t window);
    // The window's parent, or nothing at the root (or when the window is gone).
    std::optional<xcb_window_t> parentOf(xcb_window_t window);

    // A current server timestamp, got by touching a property of a private window; 0 when the server
    // did not answer within a second.
    xcb_timestamp_t serverTime();

    // Waits until the server has handled every request sent so far.
    void sync();

private:
    xcb_connection_t* connection = nullptr;
    xcb_window_t rootWindow = XCB_NONE;
    xcb_window_t timeWindow = XCB_NONE;
    QString name;
    std::optional<QString> setupFailure;
    QHash<QByteArray, xcb_atom_t> atoms;
};
