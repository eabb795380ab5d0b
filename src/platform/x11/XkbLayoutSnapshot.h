#pragma once

#include <QHash>

#include <xcb/xcb.h>

#include <optional>
#include <vector>

// What the current keyboard layout can type, read once at the start of a typing call: for each
// character the key (and the modifier keys to hold) that produces it in the active layout group with
// Caps Lock off, the Return key, the keycodes that carry no symbol at all (free to borrow for
// characters the layout lacks), and the keys that act as modifiers.
class XkbLayoutSnapshot {
public:
    struct Stroke {
        xcb_keycode_t keycode = 0;
        // Held down around the key, in press order.
        std::vector<xcb_keycode_t> modifiers;
    };

    // Reads the layout from the server; nothing (with `failure` set) when the XKEYBOARD data cannot be
    // read. XKB must already be set up on the connection.
    static std::optional<XkbLayoutSnapshot> read(xcb_connection_t* connection, QString* failure);

    // The key that types `codePoint` (printable characters only: control characters always count as
    // missing, so that they arrive as text and not as key commands).
    const Stroke* strokeFor(char32_t codePoint) const;
    std::optional<xcb_keycode_t> returnKeycode() const { return returnKey; }
    std::optional<xcb_keycode_t> shiftKeycode() const { return shiftKey; }
    const std::vector<xcb_keycode_t>& spareKeycodes() const { return spare; }
    // Every keycode bound to a modifier other than the lock modifiers (Caps Lock, Num Lock).
    const std::vector<xcb_keycode_t>& modifierKeycodes() const { return modifierKeys; }
    bool capsLockOn() const { return capsLocked; }

private:
    QHash<char32_t, Stroke> strokes;
    std::optional<xcb_keycode_t> returnKey;
    std::optional<xcb_keycode_t> shiftKey;
    std::vector<xcb_keycode_t> spare;
    std::vector<xcb_keycode_t> modifierKeys;
    bool capsLocked = false;
};
