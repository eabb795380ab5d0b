#pragma once

#include "platform/ShortcutBackend.h"

#include <QHash>
#include <QString>

#include <functional>

// Turns the raw key presses and releases a backend sees into one press and one release per hold.
// Keys are identified by the backend's own key id (an X keycode, say); the backend tells which
// bound name a press matched.
class ShortcutHoldTracker {
public:
    // A press of key `keyId` that matched the binding `name`. A press of a key that is already held
    // (auto-repeat, or a second device) is not a new hold.
    void keyPressed(quint32 keyId, const QString& name);

    // A release of key `keyId`. `key` is the key as the layout names it unshifted; `modifiersAfter`
    // the modifiers still down afterwards; `isModifierKey` whether the key is itself a modifier.
    void keyReleased(quint32 keyId, Qt::Key key, Qt::KeyboardModifiers modifiersAfter, bool isModifierKey);

    // Ends the holds of names for which `stillBound` answers false, reporting their release: once a
    // binding is gone its key-up can no longer be seen, and a hold must never outlive it.
    void releaseUnbound(const std::function<bool(const QString& name)>& stillBound);
    // Ends every hold (the keyboard was taken away, the connection lost).
    void releaseAll();

    bool isHeld(const QString& name) const;

    std::function<void(const QString& name)> onPressed;
    std::function<void(const QString& name)> onReleased;
    std::function<void(const ShortcutReleaseEvent& event)> onReleaseEvent;

private:
    void endHold(quint32 keyId);

    QHash<quint32, QString> heldNames;
};
