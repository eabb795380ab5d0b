#include "platform/x11/X11ShortcutBackend.h"

#include "dictation/AppLog.h"
#include "platform/x11/X11KeyMapping.h"
#include "shortcuts/ShortcutHoldTracker.h"
#include "shortcuts/ShortcutKeys.h"

#include <QHash>
#include <QSet>
#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
// xkb.h names a member "explicit", which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <cstdlib>

namespace {

constexpr quint8 badAccess = 10;
constexpr quint32 keysymNumLock = 0xff7f;
constexpr quint32 keysymSuperL = 0xffeb, keysymSuperR = 0xffec;
constexpr quint32 keysymAltL = 0xffe9, keysymAltR = 0xffea;
constexpr quint32 keysymMetaL = 0xffe7, keysymMetaR = 0xffe8;

struct Grab {
    QString name;
    xcb_keycode_t keycode = 0;
    quint16 modifiers = 0;
};

QString combinationText(QKeyCombination combination) {
    return ShortcutKeys::toPortableText(combination);
}

} // namespace

class X11ShortcutBackend::Private {
public:
    X11ShortcutBackend* q = nullptr;
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_NONE;
    xcb_key_symbols_t* keySymbols = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
    bool detectableAutoRepeat = false;
    bool connectionLost = false;
    // The first event code of XKB, whose map notifications replace the core MappingNotify for
    // clients that use XKB; 0 without XKB.
    quint8 xkbFirstEvent = 0;
    bool reloadPending = false;

    // Modifier masks of the current modifier map.
    quint16 numLockMask = 0;
    quint16 superMask = 0;
    quint16 altMask = 0;
    // The modifier bits each modifier keycode sets.
    QHash<xcb_keycode_t, quint16> modifierBitsOfKeycode;

    QList<ShortcutBinding> bindings;
    QList<Grab> grabs;
    // name -> unavailable reason, as last reported.
    QHash<QString, QString> reportedUnavailable;
    QSet<QString> reportedAvailable;
    ShortcutHoldTracker tracker;

    ~Private() {
        if (connection) {
            if (!connectionLost) {
                ungrabAll();
                xcb_flush(connection);
            }
            if (keySymbols)
                xcb_key_symbols_free(keySymbols);
            xcb_disconnect(connection);
        }
    }

    quint16 relevantModifiers() const {
        return static_cast<quint16>((XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 |
                                     XCB_MOD_MASK_2 | XCB_MOD_MASK_3 | XCB_MOD_MASK_4 | XCB_MOD_MASK_5) &
                                    ~numLockMask);
    }

    void enableDetectableAutoRepeat() {
        auto* useReply =
            xcb_xkb_use_extension_reply(connection, xcb_xkb_use_extension(connection, 1, 0), nullptr);
        const bool hasXkb = useReply && useReply->supported;
        std::free(useReply);
        if (hasXkb) {
            const uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
            auto* reply = xcb_xkb_per_client_flags_reply(
                connection,
                xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0), nullptr);
            detectableAutoRepeat = reply && (reply->value & flag);
            std::free(reply);
            if (const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(connection, &xcb_xkb_id);
                xkb && xkb->present) {
                xkbFirstEvent = xkb->first_event;
                const auto events = static_cast<uint16_t>(XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY |
                                                          XCB_XKB_EVENT_TYPE_MAP_NOTIFY);
                const auto parts = static_cast<uint16_t>(
                    XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP);
                xcb_xkb_select_events(connection, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, parts, parts,
                                      nullptr);
            }
        }
        if (!detectableAutoRepeat)
            appLog(
                QStringLiteral("GlobalShortcuts: X11 server has no detectable auto-repeat (XKB %1); a held "
                               "shortcut may end early")
                    .arg(hasXkb ? QStringLiteral("present") : QStringLiteral("missing")));
    }

    void loadModifierMap() {
        numLockMask = superMask = altMask = 0;
        modifierBitsOfKeycode.clear();
        auto* reply =
            xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
        if (!reply) {
            appLog(
                QStringLiteral("GlobalShortcuts: X11 modifier map could not be read; Super and Alt shortcuts "
                               "cannot be grabbed"));
            return;
        }
        const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply);
        const int perModifier = reply->keycodes_per_modifier;
        quint16 metaMask = 0;
        for (int modifier = 0; modifier < 8; ++modifier) {
            const auto bit = static_cast<quint16>(1u << modifier);
            for (int i = 0; i < perModifier; ++i) {
                const xcb_keycode_t keycode = keycodes[modifier * perModifier + i];
                if (keycode == 0)
                    continue;
                modifierBitsOfKeycode[keycode] |= bit;
                // Shift, Lock and Control have fixed meanings; the named modifiers live in Mod1..Mod5.
                if (modifier < 3)
                    continue;
                for (int level = 0; level < 4; ++level) {
                    const quint32 keysym = xcb_key_symbols_get_keysym(keySymbols, keycode, level);
                    if (keysym == keysymNumLock)
                        numLockMask |= bit;
                    else if (keysym == keysymSuperL || keysym == keysymSuperR)
                        superMask |= bit;
                    else if (keysym == keysymAltL || keysym == keysymAltR)
                        altMask |= bit;
                    else if (keysym == keysymMetaL || keysym == keysymMetaR)
                        metaMask |= bit;
                }
            }
        }
        std::free(reply);
        if (!altMask)
            altMask = metaMask;
        // A modifier that shares its bit with Num Lock cannot tell the two apart.
        superMask &= static_cast<quint16>(~numLockMask);
        altMask &= static_cast<quint16>(~numLockMask);
    }

    std::optional<quint16> xModifiers(Qt::KeyboardModifiers modifiers) const {
        quint16 mask = 0;
        if (modifiers & Qt::ShiftModifier)
            mask |= XCB_MOD_MASK_SHIFT;
        if (modifiers & Qt::ControlModifier)
            mask |= XCB_MOD_MASK_CONTROL;
        if (modifiers & Qt::AltModifier) {
            if (!altMask)
                return std::nullopt;
            mask |= altMask;
        }
        if (modifiers & Qt::MetaModifier) {
            if (!superMask)
                return std::nullopt;
            mask |= superMask;
        }
        return mask;
    }

    Qt::KeyboardModifiers qtModifiers(quint16 state) const {
        Qt::KeyboardModifiers result;
        if (state & XCB_MOD_MASK_SHIFT)
            result |= Qt::ShiftModifier;
        if (state & XCB_MOD_MASK_CONTROL)
            result |= Qt::ControlModifier;
        if (altMask && (state & altMask))
            result |= Qt::AltModifier;
        if (superMask && (state & superMask))
            result |= Qt::MetaModifier;
        return result;
    }

    QList<quint16> lockVariants() const {
        QList<quint16> variants{0, XCB_MOD_MASK_LOCK};
        if (numLockMask) {
            variants.append(numLockMask);
            variants.append(static_cast<quint16>(numLockMask | XCB_MOD_MASK_LOCK));
        }
        return variants;
    }

    void ungrabAll() {
        for (const Grab& grab : std::as_const(grabs)) {
            for (quint16 variant : lockVariants())
                xcb_ungrab_key(connection, grab.keycode, root,
                               static_cast<quint16>(grab.modifiers | variant));
        }
        grabs.clear();
    }

    void reportAvailability(const QString& name, bool available, const QString& reason) {
        if (available) {
            if (reportedAvailable.contains(name) && !reportedUnavailable.contains(name))
                return;
            reportedUnavailable.remove(name);
            reportedAvailable.insert(name);
        } else {
            if (reportedUnavailable.value(name) == reason && reportedUnavailable.contains(name))
                return;
            reportedAvailable.remove(name);
            reportedUnavailable.insert(name, reason);
        }
        if (q->onAvailabilityChanged)
            q->onAvailabilityChanged(name, available, reason);
    }

    // Grabs `binding` on every key that produces its keysym; false with a reason when it cannot.
    bool grab(const ShortcutBinding& binding, QString* reason) {
        const QKeyCombination combination = *binding.combination;
        const QString text = combinationText(combination);
        const quint32 keysym = X11KeyMapping::keysymForKey(combination.key());
        const auto modifiers = xModifiers(combination.keyboardModifiers());
        if (!modifiers) {
            *reason = QStringLiteral("the keyboard map has no modifier for part of %1").arg(text);
            return false;
        }
        QList<xcb_keycode_t> keycodes;
        if (keysym != 0) {
            if (xcb_keycode_t* found = xcb_key_symbols_get_keycode(keySymbols, keysym)) {
                for (xcb_keycode_t* k = found; *k != XCB_NO_SYMBOL; ++k) {
                    if (!keycodes.contains(*k))
                        keycodes.append(*k);
                }
                std::free(found);
            }
        }
        if (keycodes.isEmpty()) {
            *reason = QStringLiteral("no key of the current keyboard layout produces %1").arg(text);
            return false;
        }

        struct Attempt {
            xcb_keycode_t keycode;
            quint16 modifiers;
            xcb_void_cookie_t cookie;
        };
        QList<Attempt> attempts;
        for (xcb_keycode_t keycode : std::as_const(keycodes)) {
            for (quint16 variant : lockVariants()) {
                const auto mods = static_cast<quint16>(*modifiers | variant);
                attempts.append({keycode, mods,
                                 xcb_grab_key_checked(connection, 0, root, mods, keycode, XCB_GRAB_MODE_ASYNC,
                                                      XCB_GRAB_MODE_ASYNC)});
            }
        }
        bool heldElsewhere = false;
        QString otherError;
        for (const Attempt& attempt : std::as_const(attempts)) {
            if (xcb_generic_error_t* error = xcb_request_check(connection, attempt.cookie)) {
                if (error->error_code == badAccess)
                    heldElsewhere = true;
                else
                    otherError = QString::number(error->error_code);
                std::free(error);
            }
        }
        if (heldElsewhere || !otherError.isEmpty()) {
            // Half a grab would trigger with some lock states only: let go of all of it.
            for (const Attempt& attempt : std::as_const(attempts))
                xcb_ungrab_key(connection, attempt.keycode, root, attempt.modifiers);
            *reason =
                heldElsewhere
                    ? QStringLiteral("%1 is already taken by another program").arg(text)
                    : QStringLiteral("the X server refused to grab %1 (error %2)").arg(text, otherError);
            return false;
        }
        for (xcb_keycode_t keycode : std::as_const(keycodes))
            grabs.append(Grab{binding.name, keycode, *modifiers});
        return true;
    }

    void regrab() {
        if (connectionLost)
            return;
        ungrabAll();
        for (const ShortcutBinding& binding : std::as_const(bindings)) {
            if (!binding.combination) {
                reportedAvailable.remove(binding.name);
                reportedUnavailable.remove(binding.name);
                continue;
            }
            QString reason;
            if (grab(binding, &reason)) {
                reportAvailability(binding.name, true, {});
            } else {
                appLog(QStringLiteral("GlobalShortcuts: Shortcut %1 is unavailable: %2")
                           .arg(binding.name, reason));
                reportAvailability(binding.name, false, reason);
            }
        }
        xcb_flush(connection);
        tracker.releaseUnbound([this](const QString& name) {
            for (const Grab& g : std::as_const(grabs)) {
                if (g.name == name)
                    return true;
            }
            return false;
        });
    }

    QString nameOfPress(xcb_keycode_t keycode, quint16 state) const {
        const auto clean = static_cast<quint16>(state & relevantModifiers());
        for (const Grab& grab : grabs) {
            if (grab.keycode == keycode && grab.modifiers == clean)
                return grab.name;
        }
        return {};
    }

    void handle(xcb_generic_event_t* event) {
        switch (event->response_type & ~0x80) {
        case XCB_KEY_PRESS: {
            auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
            tracker.keyPressed(press->detail, nameOfPress(press->detail, press->state));
            break;
        }
        case XCB_KEY_RELEASE: {
            auto* release = reinterpret_cast<xcb_key_release_event_t*>(event);
            const xcb_keycode_t keycode = release->detail;
            const quint32 keysym = xcb_key_symbols_get_keysym(keySymbols, keycode, 0);
            const quint16 ownBits = modifierBitsOfKeycode.value(keycode, 0);
            const bool isModifier = ownBits != 0 || X11KeyMapping::isModifierKeysym(keysym);
            // The event's state is the one before the release.
            const auto after = static_cast<quint16>(release->state & ~ownBits);
            tracker.keyReleased(keycode, static_cast<Qt::Key>(X11KeyMapping::keyForKeysym(keysym)),
                                qtModifiers(after), isModifier);
            break;
        }
        case XCB_MAPPING_NOTIFY: {
            auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
            if (mapping->request != XCB_MAPPING_POINTER)
                scheduleReload();
            break;
        }
        default:
            if (xkbFirstEvent && (event->response_type & ~0x80) == xkbFirstEvent) {
                // The XKB event kind is in the second byte.
                const quint8 kind = reinterpret_cast<const quint8*>(event)[1];
                if (kind == XCB_XKB_NEW_KEYBOARD_NOTIFY || kind == XCB_XKB_MAP_NOTIFY)
                    scheduleReload();
            }
            break;
        }
    }

    // One layout change arrives as a burst of notifications: reload once after the burst.
    void scheduleReload() {
        if (reloadPending)
            return;
        reloadPending = true;
        QMetaObject::invokeMethod(
            q,
            [this] {
                reloadPending = false;
                reloadKeyboard();
            },
            Qt::QueuedConnection);
    }

    void reloadKeyboard() {
        if (connectionLost)
            return;
        // Grabs name keycodes: ungrab with the old map before the new one is read.
        ungrabAll();
        xcb_key_symbols_free(keySymbols);
        keySymbols = xcb_key_symbols_alloc(connection);
        loadModifierMap();
        appLog(QStringLiteral("GlobalShortcuts: Keyboard layout changed; grabbing the shortcuts again"));
        regrab();
        processEvents();
    }

    void processEvents() {
        if (connectionLost)
            return;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            handle(event);
            std::free(event);
        }
        if (const int error = xcb_connection_has_error(connection)) {
            connectionLost = true;
            notifier->setEnabled(false);
            appLog(
                QStringLiteral("GlobalShortcuts: Lost the X11 connection (error %1); shortcuts stop working")
                    .arg(error));
            tracker.releaseAll();
            for (const ShortcutBinding& binding : std::as_const(bindings)) {
                if (binding.combination)
                    reportAvailability(binding.name, false, QStringLiteral("the X11 connection was lost"));
            }
        }
    }
};

std::unique_ptr<X11ShortcutBackend> X11ShortcutBackend::connect(const QString& displayName) {
    const QByteArray name = displayName.toLocal8Bit();
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(name.isEmpty() ? nullptr : name.constData(), &screenNumber);
    if (const int error = xcb_connection_has_error(connection)) {
        appLog(QStringLiteral("GlobalShortcuts: Cannot open X11 display \"%1\" (error %2)")
                   .arg(name.isEmpty() ? qEnvironmentVariable("DISPLAY") : displayName)
                   .arg(error));
        xcb_disconnect(connection);
        return nullptr;
    }
    auto d = std::make_unique<Private>();
    d->connection = connection;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    d->root = screens.data->root;
    d->keySymbols = xcb_key_symbols_alloc(connection);
    d->enableDetectableAutoRepeat();
    d->loadModifierMap();
    return std::unique_ptr<X11ShortcutBackend>(new X11ShortcutBackend(std::move(d)));
}

X11ShortcutBackend::X11ShortcutBackend(std::unique_ptr<Private> p)
    : d(std::move(p)) {
    d->q = this;
    d->tracker.onPressed = [this](const QString& name) {
        if (onPressed)
            onPressed(name);
    };
    d->tracker.onReleased = [this](const QString& name) {
        if (onReleased)
            onReleased(name);
    };
    d->tracker.onReleaseEvent = [this](const ShortcutReleaseEvent& event) {
        if (onReleaseEvent)
            onReleaseEvent(event);
    };
    d->notifier =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(d->connection), QSocketNotifier::Read);
    QObject::connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] { d->processEvents(); });
    // Replies read so far may have brought events along that the socket will not announce again.
    QMetaObject::invokeMethod(
        this, [this] { d->processEvents(); }, Qt::QueuedConnection);
}

X11ShortcutBackend::~X11ShortcutBackend() = default;

QString X11ShortcutBackend::backendName() const {
    return QStringLiteral("X11");
}

void X11ShortcutBackend::setBindings(const QList<ShortcutBinding>& newBindings) {
    d->bindings = newBindings;
    d->regrab();
    QMetaObject::invokeMethod(
        this, [this] { d->processEvents(); }, Qt::QueuedConnection);
}

bool X11ShortcutBackend::hasDetectableAutoRepeat() const {
    return d->detectableAutoRepeat;
}
