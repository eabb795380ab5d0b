#include "platform/x11/XTestKeyboardSink.h"

#include "dictation/AppLog.h"

#include <QElapsedTimer>

// xkb.h names a member "explicit", which C++ reserves.
#define explicit xcb_explicit
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>

namespace {

// What a dying process must put back: the borrowed keycodes and the Caps Lock it turned off. Kept in
// fixed storage and written through a connection of its own, so a signal handler can act on it
// whatever the typing code was doing at the time.
struct SignalRestore {
    xcb_connection_t* connection = nullptr;
    std::array<std::atomic<bool>, 256> borrowed{};
    std::atomic<bool> capsLock{false};
    std::atomic<int> installed{0};
};
SignalRestore signalRestore;
constexpr std::array<int, 4> restoredSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
std::array<struct sigaction, restoredSignals.size()> previousActions;

void restoreFromSignal(int signalNumber) {
    if (xcb_connection_t* connection = signalRestore.connection) {
        const std::array<xcb_keysym_t, 2> none{XCB_NO_SYMBOL, XCB_NO_SYMBOL};
        for (std::size_t key = 0; key < signalRestore.borrowed.size(); ++key)
            if (signalRestore.borrowed[key].exchange(false))
                xcb_change_keyboard_mapping(connection, 1, xcb_keycode_t(key), 2, none.data());
        if (signalRestore.capsLock.exchange(false))
            xcb_xkb_latch_lock_state(connection, XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK,
                                     XCB_MOD_MASK_LOCK, 0, 0, 0, 0, 0);
        xcb_flush(connection);
    }
    for (std::size_t index = 0; index < restoredSignals.size(); ++index)
        if (restoredSignals[index] == signalNumber)
            sigaction(signalNumber, &previousActions[index], nullptr);
    // Delivered again once this handler returns, now to whatever handled it before.
    raise(signalNumber);
}

void installSignalRestore() {
    if (signalRestore.installed.fetch_add(1) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = restoreFromSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (std::size_t index = 0; index < restoredSignals.size(); ++index)
        sigaction(restoredSignals[index], &action, &previousActions[index]);
}

void removeSignalRestore() {
    if (signalRestore.installed.fetch_sub(1) != 1)
        return;
    for (std::size_t index = 0; index < restoredSignals.size(); ++index)
        sigaction(restoredSignals[index], &previousActions[index], nullptr);
}

QString hex(quint32 value) {
    return QStringLiteral("0x") + QString::number(value, 16);
}

} // namespace

XTestKeyboardSink::XTestKeyboardSink(Scheduler& eventScheduler)
    : scheduler(eventScheduler) {
    if (const auto failure = x.failure()) {
        unavailable = failure;
        return;
    }
    xcb_connection_t* connection = x.get();
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection, &xcb_test_id);
    if (!xtest || !xtest->present) {
        unavailable =
            QStringLiteral("The X display %1 has no XTEST extension: typing needs it").arg(x.displayName());
        return;
    }
    auto version = std::unique_ptr<xcb_test_get_version_reply_t, decltype(&std::free)>(
        xcb_test_get_version_reply(connection, xcb_test_get_version(connection, 2, 2), nullptr), &std::free);
    if (!xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr,
                                     nullptr)) {
        unavailable = QStringLiteral("The X display %1 has no usable XKEYBOARD extension: typing needs it")
                          .arg(x.displayName());
        return;
    }
    appLog(QStringLiteral("KeyboardManager: XTEST %1.%2 present on X display %3")
               .arg(version ? version->major_version : 2)
               .arg(version ? version->minor_version : 0)
               .arg(x.displayName()));
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        appLog(QStringLiteral(
            "KeyboardManager: Wayland session: typed text reaches X11 (Xwayland) windows only"));

    if (!signalRestore.connection) {
        xcb_connection_t* restoreConnection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(restoreConnection)) {
            xcb_disconnect(restoreConnection);
        } else {
            free(xcb_xkb_use_extension_reply(restoreConnection,
                                             xcb_xkb_use_extension(restoreConnection, 1, 0), nullptr));
            signalRestore.connection = restoreConnection;
        }
    }
}

XTestKeyboardSink::~XTestKeyboardSink() {
    if (!x.usable())
        return;
    restoreBorrowedKeys();
    if (capsLockWasOn)
        setCapsLock(true);
    xcb_flush(x.get());
}

std::optional<QString> XTestKeyboardSink::unavailableReason() const {
    if (unavailable)
        return unavailable;
    return x.failure();
}

xcb_keysym_t XTestKeyboardSink::keysymFor(char32_t codePoint) {
    if ((codePoint >= 0x20 && codePoint <= 0x7e) || (codePoint >= 0xa0 && codePoint <= 0xff))
        return codePoint;
    if ((codePoint >= 0xd800 && codePoint <= 0xdfff) || codePoint > 0x10ffff)
        return 0;
    return 0x01000000 | codePoint;
}

QCoro::Task<KeyboardSink::Start> XTestKeyboardSink::beginTyping() {
    if (const auto reason = unavailableReason())
        co_return Start{false, *reason};
    drainEvents();
    QString failure;
    layout = XkbLayoutSnapshot::read(x.get(), &failure);
    if (!layout)
        co_return Start{false, failure};
    if (!co_await waitForModifierRelease()) {
        layout.reset();
        co_return Start{
            false,
            QStringLiteral("modifier keys were still held after %1 ms").arg(modifierReleaseTimeout.count())};
    }
    if (layout->capsLockOn()) {
        capsLockWasOn = true;
        setCapsLock(false);
        appLog(QStringLiteral("KeyboardManager: Caps Lock turned off while typing"));
    }
    // Ping answers are sent to the root window, for structure listeners (Qt) or substructure
    // listeners (most other toolkits).
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x.get(), x.root(), XCB_CW_EVENT_MASK, &mask);
    unconfirmed.clear();
    originalsRead = false;
    batchedMaps = false;
    pingsUnanswered = false;
    loggedPingFallback = false;
    xcb_flush(x.get());
    co_return Start{};
}

QCoro::Task<bool> XTestKeyboardSink::waitForModifierRelease() {
    QElapsedTimer waited;
    waited.start();
    bool announced = false;
    for (;;) {
        auto keymap = std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)>(
            xcb_query_keymap_reply(x.get(), xcb_query_keymap(x.get()), nullptr), &std::free);
        if (!keymap)
            co_return true; // the connection broke; the typing calls report it
        bool held = false;
        for (xcb_keycode_t key : layout->modifierKeycodes())
            held = held || (keymap->keys[key / 8] & (1 << (key % 8))) != 0;
        if (!held) {
            if (announced)
                appLog(QStringLiteral("KeyboardManager: Modifier keys released after %1 ms")
                           .arg(waited.elapsed()));
            co_return true;
        }
        if (!announced) {
            appLog(QStringLiteral("KeyboardManager: Waiting for held modifier keys to be released"));
            announced = true;
        }
        if (waited.elapsed() >= modifierReleaseTimeout.count())
            co_return false;
        co_await scheduler.sleep(modifierPollInterval);
    }
}

QCoro::Task<bool> XTestKeyboardSink::postText(QString text) {
    if (!layout || !x.usable())
        co_return false;
    bool complete = true;
    const QList<uint> codePoints = text.toUcs4();
    for (qsizetype index = 0; index < codePoints.size(); ++index) {
        const char32_t codePoint = codePoints[index];
        if (const XkbLayoutSnapshot::Stroke* stroke = layout->strokeFor(codePoint)) {
            typeStroke(*stroke);
            continue;
        }
        const xcb_keysym_t symbol = keysymFor(codePoint);
        if (symbol == 0) {
            appLog(QStringLiteral("KeyboardManager: Skipped U+%1: no key can type it")
                       .arg(quint32(codePoint), 4, 16, QLatin1Char('0')));
            complete = false;
            continue;
        }
        if (!slotForSymbol.contains(symbol)) {
            if (layout->spareKeycodes().empty()) {
                appLog(QStringLiteral(
                           "KeyboardManager: Skipped U+%1: the layout lacks it and has no spare keycode")
                           .arg(quint32(codePoint), 4, 16, QLatin1Char('0')));
                complete = false;
                continue;
            }
            if (!freeSlot({}))
                co_await barrier();
            // One remap for this character and the next missing ones, as far as free slots go.
            std::vector<std::pair<Slot, xcb_keysym_t>> assignments;
            QSet<Slot> taken;
            QSet<xcb_keysym_t> planned;
            for (qsizetype ahead = index; ahead < codePoints.size(); ++ahead) {
                const char32_t next = codePoints[ahead];
                const xcb_keysym_t nextSymbol = keysymFor(next);
                if (layout->strokeFor(next) || nextSymbol == 0 || slotForSymbol.contains(nextSymbol) ||
                    planned.contains(nextSymbol))
                    continue;
                const auto slot = freeSlot(taken);
                if (!slot)
                    break;
                taken.insert(*slot);
                planned.insert(nextSymbol);
                assignments.emplace_back(*slot, nextSymbol);
            }
            remap(assignments);
        }
        const Slot slot = slotForSymbol.value(symbol);
        const auto key = xcb_keycode_t(slot / 2);
        const bool shifted = slot % 2 == 1;
        if (shifted)
            sendKey(*layout->shiftKeycode(), true);
        sendKey(key, true);
        sendKey(key, false);
        if (shifted)
            sendKey(*layout->shiftKeycode(), false);
        unconfirmed.insert(slot);
    }
    xcb_flush(x.get());
    if (const auto failure = x.failure()) {
        appLog(QStringLiteral("KeyboardManager: Typing failed: ") + *failure);
        co_return false;
    }
    co_return complete;
}

QCoro::Task<bool> XTestKeyboardSink::postReturnKey(bool keyDown) {
    if (!layout || !x.usable())
        co_return false;
    const auto key = layout->returnKeycode();
    if (!key) {
        if (keyDown)
            appLog(QStringLiteral("KeyboardManager: The keyboard layout has no Return key"));
        co_return false;
    }
    sendKey(*key, keyDown);
    xcb_flush(x.get());
    co_return x.usable();
}

QCoro::Task<> XTestKeyboardSink::endTyping() {
    if (!layout)
        co_return;
    if (x.usable()) {
        // The application must have decoded the last borrowed keys before they lose their symbols.
        if (!unconfirmed.isEmpty())
            co_await barrier();
        restoreBorrowedKeys();
        if (capsLockWasOn) {
            setCapsLock(true);
            capsLockWasOn = false;
        }
        const uint32_t mask = XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(x.get(), x.root(), XCB_CW_EVENT_MASK, &mask);
        x.sync();
        drainEvents();
    }
    layout.reset();
}

void XTestKeyboardSink::sendKey(xcb_keycode_t keycode, bool press) {
    xcb_test_fake_input(x.get(), press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE,
                        0, 0, 0);
}

void XTestKeyboardSink::typeStroke(const XkbLayoutSnapshot::Stroke& stroke) {
    for (xcb_keycode_t modifier : stroke.modifiers)
        sendKey(modifier, true);
    sendKey(stroke.keycode, true);
    sendKey(stroke.keycode, false);
    for (auto modifier = stroke.modifiers.rbegin(); modifier != stroke.modifiers.rend(); ++modifier)
        sendKey(*modifier, false);
}

std::optional<XTestKeyboardSink::Slot> XTestKeyboardSink::freeSlot(const QSet<Slot>& taken) const {
    // Empty slots first, then any whose last use is confirmed. Changing one level of a keycode
    // leaves what its other level produces as it was, so only the slot itself must be confirmed.
    const int levels = layout->shiftKeycode() ? 2 : 1;
    std::optional<Slot> reusable;
    for (int level = 0; level < levels; ++level) {
        for (xcb_keycode_t key : layout->spareKeycodes()) {
            const Slot slot = key * 2 + level;
            if (taken.contains(slot) || unconfirmed.contains(slot))
                continue;
            const auto borrowed = borrowedKeys.constFind(key);
            if (borrowed == borrowedKeys.constEnd() || (*borrowed)[size_t(level)] == XCB_NO_SYMBOL)
                return slot;
            if (!reusable)
                reusable = slot;
        }
    }
    return reusable;
}

bool XTestKeyboardSink::readOriginalSymbols() {
    const auto& spares = layout->spareKeycodes();
    const xcb_keycode_t first = *std::min_element(spares.begin(), spares.end());
    const xcb_keycode_t last = *std::max_element(spares.begin(), spares.end());
    auto reply = std::unique_ptr<xcb_xkb_get_map_reply_t, decltype(&std::free)>(
        xcb_xkb_get_map_reply(x.get(),
                              xcb_xkb_get_map(x.get(), XCB_XKB_ID_USE_CORE_KBD, 0, XCB_XKB_MAP_PART_KEY_SYMS,
                                              0, 0, first, uint8_t(last - first + 1), 0, 0, 0, 0, 0, 0, 0, 0,
                                              0, 0, 0),
                              nullptr),
        &std::free);
    if (!reply || !(reply->present & XCB_XKB_MAP_PART_KEY_SYMS) || reply->firstKeySym != first ||
        reply->nKeySyms != last - first + 1)
        return false;
    // The key symbol maps follow the fixed part of the reply: an 8-byte header, then the symbols.
    const auto* data = reinterpret_cast<const uint8_t*>(reply.get() + 1);
    const uint8_t* const dataEnd =
        reinterpret_cast<const uint8_t*>(reply.get()) + 32 + 4 * size_t(reply->length);
    originalSymbols.clear();
    for (int key = 0; key < reply->nKeySyms; ++key) {
        if (data + 8 > dataEnd)
            return false;
        KeySymbols symbols;
        std::memcpy(symbols.types.data(), data, 4);
        symbols.groupInfo = data[4];
        symbols.width = data[5];
        uint16_t count = 0;
        std::memcpy(&count, data + 6, 2);
        data += 8;
        if (data + 4 * size_t(count) > dataEnd)
            return false;
        symbols.symbols.resize(count);
        if (count > 0)
            std::memcpy(symbols.symbols.data(), data, 4 * size_t(count));
        data += 4 * size_t(count);
        originalSymbols.push_back(std::move(symbols));
    }
    originalFirstKey = first;
    serverMinKey = reply->minKeyCode;
    serverMaxKey = reply->maxKeyCode;
    return true;
}

bool XTestKeyboardSink::writeSymbols(xcb_keycode_t first, xcb_keycode_t last) {
    // One XKB request for the whole range: the keys between the borrowed ones are sent back exactly
    // as they were read, so the layout itself is untouched (a core mapping request would rebuild
    // them from their core symbols and add groups they never had).
    std::vector<uint8_t> values;
    uint16_t totalSymbols = 0;
    for (int key = first; key <= last; ++key) {
        const KeySymbols& original = originalSymbols[size_t(key - originalFirstKey)];
        KeySymbols borrowed;
        const KeySymbols* entry = &original;
        if (const auto found = borrowedKeys.constFind(xcb_keycode_t(key)); found != borrowedKeys.constEnd()) {
            // One group of the two-level type (index 1 in every XKB keymap: Shift selects level 2).
            borrowed.types = {1, 1, 1, 1};
            borrowed.groupInfo = 1;
            borrowed.width = 2;
            borrowed.symbols = {(*found)[0], (*found)[1]};
            entry = &borrowed;
        }
        const uint16_t count = uint16_t(entry->symbols.size());
        const size_t at = values.size();
        values.resize(at + 8 + 4 * size_t(count));
        std::memcpy(values.data() + at, entry->types.data(), 4);
        values[at + 4] = entry->groupInfo;
        values[at + 5] = entry->width;
        std::memcpy(values.data() + at + 6, &count, 2);
        if (count > 0)
            std::memcpy(values.data() + at + 8, entry->symbols.data(), 4 * size_t(count));
        totalSymbols = uint16_t(totalSymbols + count);
    }
    const xcb_void_cookie_t cookie =
        xcb_xkb_set_map_checked(x.get(), XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_MAP_PART_KEY_SYMS, 0, serverMinKey,
                                serverMaxKey, 0, 0, first, uint8_t(last - first + 1), totalSymbols, 0, 0, 0,
                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, values.data());
    if (xcb_generic_error_t* error = xcb_request_check(x.get(), cookie)) {
        appLog(QStringLiteral("KeyboardManager: The X server refused a keyboard map change (error %1); "
                              "remapping keys one by one")
                   .arg(error->error_code));
        std::free(error);
        return false;
    }
    return true;
}

void XTestKeyboardSink::writeSymbolsOneByOne(const std::vector<xcb_keycode_t>& keys) {
    // The core request, one key at a time: fine for keys that carry nothing of the layout.
    for (xcb_keycode_t key : keys) {
        const auto found = borrowedKeys.constFind(key);
        const std::array<xcb_keysym_t, 2> symbols =
            found == borrowedKeys.constEnd() ? std::array<xcb_keysym_t, 2>{XCB_NO_SYMBOL, XCB_NO_SYMBOL}
                                             : *found;
        xcb_change_keyboard_mapping(x.get(), 1, key, 2, symbols.data());
    }
}

void XTestKeyboardSink::applySymbols(const std::vector<xcb_keycode_t>& keys) {
    if (keys.empty())
        return;
    if (!originalsRead) {
        originalsRead = true;
        batchedMaps = readOriginalSymbols();
    }
    const auto [first, last] = std::minmax_element(keys.begin(), keys.end());
    if (!batchedMaps || !writeSymbols(*first, *last)) {
        batchedMaps = false;
        writeSymbolsOneByOne(keys);
    }
}

void XTestKeyboardSink::remap(const std::vector<std::pair<Slot, xcb_keysym_t>>& assignments) {
    if (assignments.empty())
        return;
    if (borrowedKeys.isEmpty())
        installSignalRestore();
    std::vector<xcb_keycode_t> keys;
    for (const auto& [slot, symbol] : assignments) {
        const auto key = xcb_keycode_t(slot / 2);
        std::array<xcb_keysym_t, 2>& symbols = borrowedKeys[key];
        xcb_keysym_t& held = symbols[size_t(slot % 2)];
        if (held != XCB_NO_SYMBOL)
            slotForSymbol.remove(held);
        held = symbol;
        slotForSymbol.insert(symbol, slot);
        signalRestore.borrowed[key] = true;
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            keys.push_back(key);
    }
    applySymbols(keys);
}

void XTestKeyboardSink::restoreBorrowedKeys() {
    if (borrowedKeys.isEmpty())
        return;
    std::vector<xcb_keycode_t> keys;
    for (auto entry = borrowedKeys.constBegin(); entry != borrowedKeys.constEnd(); ++entry)
        keys.push_back(entry.key());
    borrowedKeys.clear();
    slotForSymbol.clear();
    unconfirmed.clear();
    applySymbols(keys);
    for (xcb_keycode_t key : keys)
        signalRestore.borrowed[key] = false;
    xcb_flush(x.get());
    removeSignalRestore();
}

void XTestKeyboardSink::setCapsLock(bool locked) {
    xcb_xkb_latch_lock_state(x.get(), XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK,
                             locked ? XCB_MOD_MASK_LOCK : 0, 0, 0, 0, 0, 0);
    xcb_flush(x.get());
    signalRestore.capsLock = !locked;
}

QCoro::Task<> XTestKeyboardSink::barrier() {
    xcb_flush(x.get());
    std::optional<xcb_window_t> window;
    if (!pingsUnanswered)
        window = pingableFocusWindow();
    bool confirmed = false;
    if (window) {
        const quint32 serial = nextPingSerial++;
        xcb_client_message_event_t ping{};
        ping.response_type = XCB_CLIENT_MESSAGE;
        ping.format = 32;
        ping.window = *window;
        ping.type = x.atom("WM_PROTOCOLS");
        ping.data.data32[0] = x.atom("_NET_WM_PING");
        ping.data.data32[1] = serial;
        ping.data.data32[2] = *window;
        xcb_send_event(x.get(), 0, *window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ping));
        xcb_flush(x.get());
        confirmed = co_await waitForPong(*window, serial);
        if (!confirmed && x.usable()) {
            pingsUnanswered = true;
            appLog(QStringLiteral(
                       "KeyboardManager: Window %1 did not answer a ping within %2 ms; pausing instead")
                       .arg(hex(*window))
                       .arg(pingTimeout.count()));
            loggedPingFallback = true;
        }
    }
    if (!confirmed) {
        if (!loggedPingFallback) {
            appLog(QStringLiteral("KeyboardManager: The focused window does not answer pings; pausing %1 ms "
                                  "before reusing keys")
                       .arg(unansweredPingPause.count()));
            loggedPingFallback = true;
        }
        co_await scheduler.sleep(unansweredPingPause);
    }
    unconfirmed.clear();
}

QCoro::Task<bool> XTestKeyboardSink::waitForPong(xcb_window_t window, quint32 serial) {
    const xcb_atom_t protocols = x.atom("WM_PROTOCOLS");
    const xcb_atom_t ping = x.atom("_NET_WM_PING");
    QElapsedTimer waited;
    waited.start();
    while (x.usable()) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(x.get())) {
            const auto owned = std::unique_ptr<xcb_generic_event_t, decltype(&std::free)>(event, &std::free);
            if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
                continue;
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (message->type == protocols && message->data.data32[0] == ping &&
                message->data.data32[1] == serial && message->data.data32[2] == window)
                co_return true;
        }
        const qint64 elapsed = waited.elapsed();
        if (elapsed >= pingTimeout.count())
            co_return false;
        if (elapsed < 20) {
            // A responsive window answers within a millisecond or two: wait on the socket itself.
            pollfd descriptor{xcb_get_file_descriptor(x.get()), POLLIN, 0};
            ::poll(&descriptor, 1, 1);
        } else {
            // A slow one: let the event loop run meanwhile.
            co_await scheduler.sleep(Scheduler::Duration(2));
        }
    }
    co_return false;
}

std::optional<xcb_window_t> XTestKeyboardSink::pingableFocusWindow() {
    auto focus = std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)>(
        xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr), &std::free);
    if (!focus)
        return std::nullopt;
    const xcb_atom_t protocols = x.atom("WM_PROTOCOLS");
    const xcb_atom_t ping = x.atom("_NET_WM_PING");
    // The focus may sit on a child of the application's top-level window.
    std::optional<xcb_window_t> window = focus->focus;
    for (int depth = 0; window && *window != XCB_NONE && *window != XCB_INPUT_FOCUS_POINTER_ROOT &&
                        *window != x.root() && depth < 32;
         ++depth) {
        const auto supported = x.atomListProperty(*window, protocols);
        if (std::find(supported.begin(), supported.end(), ping) != supported.end())
            return window;
        window = x.parentOf(*window);
    }
    return std::nullopt;
}

void XTestKeyboardSink::drainEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(x.get()))
        std::free(event);
}
