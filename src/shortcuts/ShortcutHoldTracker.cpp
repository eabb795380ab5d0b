#include "shortcuts/ShortcutHoldTracker.h"

void ShortcutHoldTracker::keyPressed(quint32 keyId, const QString& name) {
    if (name.isEmpty() || heldNames.contains(keyId))
        return;
    // The same name held through another key (a layout with two period keys) stays one hold.
    const bool alreadyHeld = isHeld(name);
    heldNames.insert(keyId, name);
    if (!alreadyHeld && onPressed)
        onPressed(name);
}

void ShortcutHoldTracker::keyReleased(quint32 keyId, Qt::Key key, Qt::KeyboardModifiers modifiersAfter,
                                      bool isModifierKey) {
    ShortcutReleaseEvent event;
    event.modifiers = modifiersAfter;
    if (isModifierKey) {
        event.kind = ShortcutReleaseEvent::Kind::modifiersChanged;
    } else {
        event.kind = ShortcutReleaseEvent::Kind::keyUp;
        event.key = key;
    }
    // The hold ends first, so that a listener of the event stream already sees it released.
    if (heldNames.contains(keyId))
        endHold(keyId);
    if (onReleaseEvent)
        onReleaseEvent(event);
}

void ShortcutHoldTracker::releaseUnbound(const std::function<bool(const QString& name)>& stillBound) {
    const QList<quint32> keys = heldNames.keys();
    for (quint32 keyId : keys) {
        if (heldNames.contains(keyId) && !stillBound(heldNames.value(keyId)))
            endHold(keyId);
    }
}

void ShortcutHoldTracker::releaseAll() {
    releaseUnbound([](const QString&) { return false; });
}

bool ShortcutHoldTracker::isHeld(const QString& name) const {
    for (auto it = heldNames.cbegin(); it != heldNames.cend(); ++it) {
        if (it.value() == name)
            return true;
    }
    return false;
}

void ShortcutHoldTracker::endHold(quint32 keyId) {
    const QString name = heldNames.take(keyId);
    if (!isHeld(name) && onReleased)
        onReleased(name);
}
