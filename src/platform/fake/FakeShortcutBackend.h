#pragma once

#include "platform/ShortcutBackend.h"

// A scripted shortcut backend: remembers what it was asked to bind and lets a test press and
// release names, send release events and report availability or triggers as a desktop would.
class FakeShortcutBackend : public ShortcutBackend {
public:
    QString backendName() const override { return QStringLiteral("fake"); }
    void setBindings(const QList<ShortcutBinding>& bindings) override;

    // The bindings of the last setBindings call, and how many calls there were.
    QList<ShortcutBinding> bindings;
    int bindCount = 0;

    // The name bound to `combination`, or empty.
    QString nameBoundTo(QKeyCombination combination) const;

    void press(const QString& name);
    void release(const QString& name);
    void sendReleaseEvent(const ShortcutReleaseEvent& event);
    void setAvailable(const QString& name, bool available, const QString& reason = {});
    void setTrigger(const QString& name, const QString& triggerText);
};
