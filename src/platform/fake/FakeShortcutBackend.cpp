#include "platform/fake/FakeShortcutBackend.h"

void FakeShortcutBackend::setBindings(const QList<ShortcutBinding>& newBindings) {
    bindings = newBindings;
    ++bindCount;
}

QString FakeShortcutBackend::nameBoundTo(QKeyCombination combination) const {
    for (const ShortcutBinding& binding : bindings) {
        if (binding.combination == combination)
            return binding.name;
    }
    return {};
}

void FakeShortcutBackend::press(const QString& name) {
    if (onPressed)
        onPressed(name);
}

void FakeShortcutBackend::release(const QString& name) {
    if (onReleased)
        onReleased(name);
}

void FakeShortcutBackend::sendReleaseEvent(const ShortcutReleaseEvent& event) {
    if (onReleaseEvent)
        onReleaseEvent(event);
}

void FakeShortcutBackend::setAvailable(const QString& name, bool available, const QString& reason) {
    if (onAvailabilityChanged)
        onAvailabilityChanged(name, available, reason);
}

void FakeShortcutBackend::setTrigger(const QString& name, const QString& triggerText) {
    if (onTriggerChanged)
        onTriggerChanged(name, triggerText);
}
