#pragma once

#include "platform/KeyboardSink.h"
#include "platform/Scheduler.h"
#include "platform/x11/XcbConnection.h"
#include "platform/x11/XkbLayoutSnapshot.h"

#include <QHash>
#include <QSet>

#include <array>

#include <optional>
#include <utility>
#include <vector>

// Typing through the XTEST extension of the X display: key presses of the current layout for the
// characters it has, and spare keycodes borrowed for the others.
//
// A borrowed keycode is remapped to the character's keysym, and the application decodes keys with
// whatever mapping it has read by the time it handles them; so a keycode is only remapped again once
// the focused window has answered a _NET_WM_PING sent after the keys that used it (or, for a window
// that does not answer pings, after a generous pause). Every change of the keyboard map makes each
// client (the window manager too) reload its keymap, so remaps are batched: one request for many
// keycodes, two symbols per keycode (the second typed with Shift).
// Every borrowed keycode is cleared again at the end of the call, on destruction, and when the
// process is ended by SIGINT, SIGTERM, SIGHUP or SIGQUIT while keys are borrowed.
class XTestKeyboardSink final : public KeyboardSink {
public:
    static constexpr Scheduler::Duration modifierReleaseTimeout{2000};
    static constexpr Scheduler::Duration modifierPollInterval{10};
    static constexpr Scheduler::Duration pingTimeout{3000};
    // Before reusing a keycode when the focused window does not answer pings.
    static constexpr Scheduler::Duration unansweredPingPause{150};

    explicit XTestKeyboardSink(Scheduler& scheduler = Scheduler::shared());
    ~XTestKeyboardSink() override;

    std::optional<QString> unavailableReason() const override;
    QCoro::Task<Start> beginTyping() override;
    QCoro::Task<bool> postText(QString text) override;
    QCoro::Task<bool> postReturnKey(bool keyDown) override;
    QCoro::Task<> endTyping() override;

    // The keysym a borrowed keycode carries for a character: the code point itself for Latin-1, the
    // Unicode keysym range otherwise; 0 for what no keysym can carry (lone surrogates).
    static xcb_keysym_t keysymFor(char32_t codePoint);

private:
    QCoro::Task<bool> waitForModifierRelease();
    // Returns once the focused window has handled every key sent so far.
    QCoro::Task<> barrier();
    QCoro::Task<bool> waitForPong(xcb_window_t window, quint32 serial);
    std::optional<xcb_window_t> pingableFocusWindow();
    // A place for one borrowed symbol: a spare keycode and its level (0 plain, 1 with Shift), as
    // keycode * 2 + level.
    using Slot = int;
    std::optional<Slot> freeSlot(const QSet<Slot>& taken) const;
    void remap(const std::vector<std::pair<Slot, xcb_keysym_t>>& assignments);
    // Puts the current borrowed symbols (or, for keys no longer borrowed, the original ones) on `keys`.
    void applySymbols(const std::vector<xcb_keycode_t>& keys);
    bool readOriginalSymbols();
    bool writeSymbols(xcb_keycode_t first, xcb_keycode_t last);
    void writeSymbolsOneByOne(const std::vector<xcb_keycode_t>& keys);
    void restoreBorrowedKeys();
    void sendKey(xcb_keycode_t keycode, bool press);
    void typeStroke(const XkbLayoutSnapshot::Stroke& stroke);
    void setCapsLock(bool locked);
    void drainEvents();

    // A key's symbols as XKB holds them: per-group key types, group count and width, the symbols.
    struct KeySymbols {
        std::array<uint8_t, 4> types{};
        uint8_t groupInfo = 0;
        uint8_t width = 0;
        std::vector<xcb_keysym_t> symbols;
    };

    XcbConnection x;
    Scheduler& scheduler;
    std::optional<QString> unavailable;
    std::optional<XkbLayoutSnapshot> layout;
    // Borrowed keycodes: the keysyms each carries now on its two levels, and where each keysym is.
    QHash<xcb_keycode_t, std::array<xcb_keysym_t, 2>> borrowedKeys;
    QHash<xcb_keysym_t, Slot> slotForSymbol;
    // Slots typed since the focused window last confirmed it had handled everything.
    QSet<Slot> unconfirmed;
    // The XKB symbols of the keys from the lowest to the highest spare keycode, as read before the
    // first borrowing of a call; when they cannot be read or written, keys are remapped one by one.
    std::vector<KeySymbols> originalSymbols;
    xcb_keycode_t originalFirstKey = 0;
    xcb_keycode_t serverMinKey = 0;
    xcb_keycode_t serverMaxKey = 0;
    bool originalsRead = false;
    bool batchedMaps = false;
    bool capsLockWasOn = false;
    bool pingsUnanswered = false;
    bool loggedPingFallback = false;
    quint32 nextPingSerial = 1;
};
