#include "shortcuts/GlobalShortcuts.h"

#include "dictation/AppLog.h"
#include "shortcuts/ShortcutKeys.h"

#include <QSettings>

namespace {

QString settingsKey(const QString& name) {
    return QStringLiteral("Shortcuts/") + name;
}

QString describe(const std::optional<QKeyCombination>& shortcut) {
    return shortcut ? ShortcutKeys::toPortableText(*shortcut) : QStringLiteral("none");
}

} // namespace

GlobalShortcuts::GlobalShortcuts(QSettings* userSettings, std::unique_ptr<ShortcutBackend> backend,
                                 QObject* parent)
    : QObject(parent) {
    qRegisterMetaType<ShortcutReleaseEvent>();
    if (userSettings) {
        settings = userSettings;
    } else {
        ownedSettings = std::make_unique<QSettings>();
        settings = ownedSettings.get();
    }
    if (backend)
        setBackend(std::move(backend));
}

GlobalShortcuts::~GlobalShortcuts() {
    // The backend may still call back while it lets go of its grabs.
    if (currentBackend) {
        currentBackend->onPressed = nullptr;
        currentBackend->onReleased = nullptr;
        currentBackend->onReleaseEvent = nullptr;
        currentBackend->onAvailabilityChanged = nullptr;
        currentBackend->onTriggerChanged = nullptr;
    }
}

void GlobalShortcuts::setBackend(std::unique_ptr<ShortcutBackend> backend) {
    // Holds of the old backend end with it.
    for (Entry& e : entries) {
        if (e.down)
            handleReleased(e.name);
        e.available = true;
        e.unavailableReason.clear();
        e.triggerText.clear();
    }
    currentBackend = std::move(backend);
    if (!currentBackend)
        return;
    currentBackend->onPressed = [this](const QString& name) { handlePressed(name); };
    currentBackend->onReleased = [this](const QString& name) { handleReleased(name); };
    currentBackend->onReleaseEvent = [this](const ShortcutReleaseEvent& event) {
        Q_EMIT releaseEvent(event);
    };
    currentBackend->onAvailabilityChanged = [this](const QString& name, bool available,
                                                   const QString& reason) {
        Entry* e = entry(name);
        if (!e || (e->available == available && e->unavailableReason == reason))
            return;
        e->available = available;
        e->unavailableReason = available ? QString() : reason;
        Q_EMIT availabilityChanged(name);
    };
    currentBackend->onTriggerChanged = [this](const QString& name, const QString& triggerText) {
        Entry* e = entry(name);
        if (!e || e->triggerText == triggerText)
            return;
        e->triggerText = triggerText;
        Q_EMIT shortcutChanged(name);
    };
    appLog(
        QStringLiteral("GlobalShortcuts: Using the %1 shortcut backend").arg(currentBackend->backendName()));
    rebind();
}

void GlobalShortcuts::declare(const QString& name, const QString& description,
                              std::optional<QKeyCombination> defaultShortcut) {
    if (addEntry(name, description, defaultShortcut))
        rebind();
}

bool GlobalShortcuts::addEntry(const QString& name, const QString& description,
                               std::optional<QKeyCombination> defaultShortcut) {
    if (name.isEmpty() || isDeclared(name))
        return false;
    Entry e;
    e.name = name;
    e.description = description;
    e.defaultShortcut = defaultShortcut;
    e.current = loadStored(e);
    entries.append(std::move(e));
    return true;
}

void GlobalShortcuts::declareDictationShortcuts() {
    // One bind for the three: a desktop portal makes a session per bind.
    bool added = addEntry(ShortcutNames::toggleDictation, QStringLiteral("Flash Mode: hold to dictate"),
                          QKeyCombination(Qt::MetaModifier, Qt::Key_Period));
    added |= addEntry(ShortcutNames::toggleDictationOptionPro, QStringLiteral("Pro Mode: hold to dictate"),
                      QKeyCombination(Qt::AltModifier, Qt::Key_Slash));
    added |=
        addEntry(ShortcutNames::toggleDictationTranslate, QStringLiteral("Translate Mode: hold to dictate"),
                 QKeyCombination(Qt::MetaModifier, Qt::Key_Comma));
    if (added)
        rebind();
}

bool GlobalShortcuts::isDeclared(const QString& name) const {
    return entry(name) != nullptr;
}

QStringList GlobalShortcuts::names() const {
    QStringList result;
    for (const Entry& e : entries)
        result.append(e.name);
    return result;
}

void GlobalShortcuts::onKeyDown(const QString& name, std::function<void()> handler) {
    if (Entry* e = entry(name); e && handler)
        e->keyDownHandlers.append(std::move(handler));
    else if (!e)
        appLog(
            QStringLiteral("GlobalShortcuts: Cannot register a key-down handler for undeclared shortcut %1")
                .arg(name));
}

void GlobalShortcuts::onKeyUp(const QString& name, std::function<void()> handler) {
    if (Entry* e = entry(name); e && handler)
        e->keyUpHandlers.append(std::move(handler));
    else if (!e)
        appLog(QStringLiteral("GlobalShortcuts: Cannot register a key-up handler for undeclared shortcut %1")
                   .arg(name));
}

std::optional<QKeyCombination> GlobalShortcuts::shortcut(const QString& name) const {
    const Entry* e = entry(name);
    return e ? e->current : std::nullopt;
}

std::optional<QKeyCombination> GlobalShortcuts::defaultShortcut(const QString& name) const {
    const Entry* e = entry(name);
    return e ? e->defaultShortcut : std::nullopt;
}

void GlobalShortcuts::setShortcut(const QString& name, std::optional<QKeyCombination> newShortcut) {
    Entry* target = entry(name);
    if (!target) {
        appLog(
            QStringLiteral("GlobalShortcuts: Cannot store a shortcut for undeclared shortcut %1").arg(name));
        return;
    }
    if (newShortcut) {
        const auto normalised = ShortcutKeys::fromKey(newShortcut->key(), newShortcut->keyboardModifiers());
        // A lone modifier is no shortcut; storing it must not silently clear the one in place.
        if (!normalised) {
            appLog(
                QStringLiteral("GlobalShortcuts: Refused to store a modifier key alone as the shortcut of %1")
                    .arg(name));
            return;
        }
        newShortcut = normalised;
    }

    QStringList changed;
    if (newShortcut) {
        for (Entry& other : entries) {
            if (other.name != name && other.current == newShortcut) {
                appLog(QStringLiteral("GlobalShortcuts: %1 moves from %2 to %3; %2 is now cleared")
                           .arg(ShortcutKeys::toPortableText(*newShortcut), other.name, name));
                other.current.reset();
                store(other);
                changed.append(other.name);
            }
        }
    }
    if (target->current != newShortcut) {
        appLog(QStringLiteral("GlobalShortcuts: Shortcut %1 set to %2").arg(name, describe(newShortcut)));
        target->current = newShortcut;
        changed.append(name);
    }
    // Stored even when unchanged, so that a default the user confirmed survives a change of defaults.
    store(*target);
    settings->sync();
    if (settings->status() != QSettings::NoError)
        appLog(
            QStringLiteral("GlobalShortcuts: Could not save the shortcuts to %1").arg(settings->fileName()));
    if (changed.isEmpty())
        return;
    rebind();
    for (const QString& changedName : changed)
        Q_EMIT shortcutChanged(changedName);
}

void GlobalShortcuts::resetToDefault(const QString& name) {
    if (const Entry* e = entry(name))
        setShortcut(name, e->defaultShortcut);
    else
        setShortcut(name, std::nullopt);
}

QString GlobalShortcuts::displayText(const QString& name) const {
    const Entry* e = entry(name);
    if (!e)
        return {};
    if (!e->triggerText.isEmpty())
        return e->triggerText;
    return e->current ? ShortcutKeys::displayText(*e->current) : QString();
}

bool GlobalShortcuts::isAvailable(const QString& name) const {
    const Entry* e = entry(name);
    return e && e->current && e->available;
}

QString GlobalShortcuts::unavailableReason(const QString& name) const {
    const Entry* e = entry(name);
    if (!e)
        return QStringLiteral("not declared");
    if (!e->current)
        return QStringLiteral("no shortcut set");
    return e->unavailableReason;
}

std::optional<QKeyCombination> GlobalShortcuts::shortcutFromKeyEvent(const QKeyEvent& event) {
    return ShortcutKeys::fromKeyEvent(event);
}

bool GlobalShortcuts::hasModifiers(QKeyCombination shortcut) {
    return ShortcutKeys::hasModifiers(shortcut);
}

QString GlobalShortcuts::displayText(QKeyCombination shortcut) {
    return ShortcutKeys::displayText(shortcut);
}

GlobalShortcuts::Entry* GlobalShortcuts::entry(const QString& name) {
    for (Entry& e : entries) {
        if (e.name == name)
            return &e;
    }
    return nullptr;
}

const GlobalShortcuts::Entry* GlobalShortcuts::entry(const QString& name) const {
    for (const Entry& e : entries) {
        if (e.name == name)
            return &e;
    }
    return nullptr;
}

std::optional<QKeyCombination> GlobalShortcuts::loadStored(const Entry& e) const {
    const QString key = settingsKey(e.name);
    if (!settings->contains(key))
        return e.defaultShortcut;
    const QString text = settings->value(key).toString();
    // An empty value is a shortcut the user cleared on purpose.
    if (text.trimmed().isEmpty())
        return std::nullopt;
    if (auto stored = ShortcutKeys::fromPortableText(text))
        return stored;
    appLog(QStringLiteral("GlobalShortcuts: Stored shortcut \"%1\" for %2 is not a valid shortcut; using the "
                          "default %3")
               .arg(text, e.name, describe(e.defaultShortcut)));
    return e.defaultShortcut;
}

void GlobalShortcuts::store(const Entry& e) {
    settings->setValue(settingsKey(e.name), e.current ? ShortcutKeys::toPortableText(*e.current) : QString());
}

void GlobalShortcuts::rebind() {
    if (!currentBackend)
        return;
    QList<ShortcutBinding> bindings;
    for (Entry& e : entries) {
        bindings.append(ShortcutBinding{e.name, e.description, e.current});
        if (!e.current) {
            e.available = true;
            e.unavailableReason.clear();
        }
    }
    currentBackend->setBindings(bindings);
}

void GlobalShortcuts::handlePressed(const QString& name) {
    Entry* e = entry(name);
    // A cleared shortcut never starts anything, whatever a backend still reports.
    if (!e || !e->current || e->down)
        return;
    e->down = true;
    const auto handlers = e->keyDownHandlers;
    for (const auto& handler : handlers)
        handler();
}

void GlobalShortcuts::handleReleased(const QString& name) {
    Entry* e = entry(name);
    if (!e || !e->down)
        return;
    e->down = false;
    const auto handlers = e->keyUpHandlers;
    for (const auto& handler : handlers)
        handler();
}
