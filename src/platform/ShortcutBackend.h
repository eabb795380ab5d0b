#pragma once

#include <QKeyCombination>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// One named shortcut as the desktop should know it. `combination` is empty when the user cleared it:
// a backend then holds nothing for the name and reports no press for it.
struct ShortcutBinding {
    QString name;
    QString description;
    std::optional<QKeyCombination> combination;

    friend bool operator==(const ShortcutBinding&, const ShortcutBinding&) = default;
};

// A key release or modifier change seen while a shortcut is held, for the detector that ends a
// hold when any part of the combination lets go.
struct ShortcutReleaseEvent {
    enum class Kind { keyUp, modifiersChanged };
    Kind kind = Kind::keyUp;
    // The released key (keyUp only), as the unshifted key of the current layout.
    Qt::Key key = Qt::Key_unknown;
    // The modifiers still held after the event.
    Qt::KeyboardModifiers modifiers;

    friend bool operator==(const ShortcutReleaseEvent&, const ShortcutReleaseEvent&) = default;
};

// The desktop's global-shortcut mechanism (X11 key grabs, the desktop portal, or none). A backend
// calls its callbacks on the GUI thread; an unset callback is not called.
class ShortcutBackend {
public:
    virtual ~ShortcutBackend() = default;

    // Short name for the log ("X11", "portal", "none").
    virtual QString backendName() const = 0;

    // Replaces every binding. Takes effect at once: a name that is no longer bound, or bound to
    // another combination, stops triggering before this returns (where the mechanism allows).
    virtual void setBindings(const QList<ShortcutBinding>& bindings) = 0;

    // The combination of `name` went down. Repeats while held are not reported.
    std::function<void(const QString& name)> onPressed;
    // The key of the combination of `name` went up.
    std::function<void(const QString& name)> onReleased;
    // Every key release and modifier change the backend sees while a shortcut is held.
    std::function<void(const ShortcutReleaseEvent& event)> onReleaseEvent;
    // Whether `name` can trigger; `reason` says why not (another program holds it, no mechanism).
    std::function<void(const QString& name, bool available, const QString& reason)> onAvailabilityChanged;
    // The desktop shows `name` under this trigger text (it may differ from the requested one when
    // the desktop lets the user pick triggers itself). Empty: the desktop has no trigger for it.
    std::function<void(const QString& name, const QString& triggerText)> onTriggerChanged;
};
