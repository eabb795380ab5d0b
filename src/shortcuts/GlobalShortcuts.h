#pragma once

#include "platform/ShortcutBackend.h"

#include <QKeyCombination>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QKeyEvent;
class QSettings;

namespace ShortcutNames {
inline const QString toggleDictation = QStringLiteral("toggleDictation");
inline const QString toggleDictationOptionPro = QStringLiteral("toggleDictationOptionPro");
inline const QString toggleDictationTranslate = QStringLiteral("toggleDictationTranslate");
} // namespace ShortcutNames

// Named global shortcuts with defaults, the user's choices persisted under "Shortcuts/<name>",
// and key-down/key-up handlers, over whichever desktop backend the session offers.
// Everything here runs on the GUI thread.
class GlobalShortcuts : public QObject {
    Q_OBJECT
public:
    // `settings`: where the user's choices live (not owned); none: the application's QSettings.
    // `backend`: the desktop mechanism; none until setBackend.
    explicit GlobalShortcuts(QSettings* settings = nullptr,
                             std::unique_ptr<ShortcutBackend> backend = nullptr, QObject* parent = nullptr);
    ~GlobalShortcuts() override;

    // Replaces the backend and binds every declared shortcut to the new one.
    void setBackend(std::unique_ptr<ShortcutBackend> backend);
    ShortcutBackend* backend() const { return currentBackend.get(); }

    // Declares `name` once; the stored choice of the user, if any, replaces the default. A second
    // declaration of the same name changes nothing.
    void declare(const QString& name, const QString& description,
                 std::optional<QKeyCombination> defaultShortcut);
    // The three dictation shortcuts with their defaults.
    void declareDictationShortcuts();
    bool isDeclared(const QString& name) const;
    QStringList names() const;

    // Handlers run on the GUI thread; several may be registered per name.
    void onKeyDown(const QString& name, std::function<void()> handler);
    void onKeyUp(const QString& name, std::function<void()> handler);

    // The current shortcut of `name`, or none when the user cleared it (or it is not declared).
    std::optional<QKeyCombination> shortcut(const QString& name) const;
    std::optional<QKeyCombination> defaultShortcut(const QString& name) const;
    // Stores (or, with none, clears) the shortcut of `name`, persists it and rebinds at once. A
    // combination that another name holds is taken from that name, which is left cleared.
    void setShortcut(const QString& name, std::optional<QKeyCombination> shortcut);
    void resetToDefault(const QString& name);

    // The text to show for `name`: the desktop's trigger where the desktop picks triggers itself,
    // else the shortcut's own display text; empty when there is none.
    QString displayText(const QString& name) const;
    // False when the shortcut cannot trigger (another program holds it, no backend can work).
    bool isAvailable(const QString& name) const;
    QString unavailableReason(const QString& name) const;

    // Facility operations on shortcuts themselves.
    static std::optional<QKeyCombination> shortcutFromKeyEvent(const QKeyEvent& event);
    static bool hasModifiers(QKeyCombination shortcut);
    static QString displayText(QKeyCombination shortcut);

Q_SIGNALS:
    // Every key release and modifier change seen while a shortcut is held.
    void releaseEvent(const ShortcutReleaseEvent& event);
    // The shortcut or display text of `name` changed.
    void shortcutChanged(const QString& name);
    void availabilityChanged(const QString& name);

private:
    struct Entry {
        QString name;
        QString description;
        std::optional<QKeyCombination> defaultShortcut;
        std::optional<QKeyCombination> current;
        QList<std::function<void()>> keyDownHandlers;
        QList<std::function<void()>> keyUpHandlers;
        bool available = true;
        QString unavailableReason;
        QString triggerText;
        bool down = false;
    };

    bool addEntry(const QString& name, const QString& description,
                  std::optional<QKeyCombination> defaultShortcut);
    Entry* entry(const QString& name);
    const Entry* entry(const QString& name) const;
    std::optional<QKeyCombination> loadStored(const Entry& entry) const;
    void store(const Entry& entry);
    void rebind();
    void handlePressed(const QString& name);
    void handleReleased(const QString& name);

    std::unique_ptr<QSettings> ownedSettings;
    QSettings* settings = nullptr;
    std::unique_ptr<ShortcutBackend> currentBackend;
    QList<Entry> entries;
};

Q_DECLARE_METATYPE(ShortcutReleaseEvent)
