#pragma once

#include <QKeyCombination>
#include <QString>

#include <optional>

class QKeyEvent;

// What a shortcut is made of and how it is written: a key with its modifiers, stored as portable
// key-sequence text ("Meta+.") and shown as the desktop's native text.
namespace ShortcutKeys {

// The shortcut a key-down would record, or none: a lone modifier key, an unknown key or an
// auto-repeat records nothing. Keypad and group-switch states are not part of a shortcut.
std::optional<QKeyCombination> fromKeyEvent(const QKeyEvent& event);
std::optional<QKeyCombination> fromKey(int key, Qt::KeyboardModifiers modifiers);

// True when the shortcut has at least one of Ctrl, Alt, Shift or Super.
bool hasModifiers(QKeyCombination shortcut);

// The text shown to the user.
QString displayText(QKeyCombination shortcut);

// The stored form, and back. Text that is not exactly one valid shortcut reads as none.
QString toPortableText(QKeyCombination shortcut);
std::optional<QKeyCombination> fromPortableText(const QString& text);

// Whether `key` is a modifier key itself (Shift, Ctrl, Alt, Super, Meta, AltGr, Hyper...).
bool isModifierKey(int key);

} // namespace ShortcutKeys
