#include "shortcuts/ShortcutKeys.h"

#include <QKeyEvent>
#include <QKeySequence>

namespace ShortcutKeys {

namespace {

constexpr Qt::KeyboardModifiers shortcutModifierMask =
    Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

} // namespace

bool isModifierKey(int key) {
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_Mode_switch:
        return true;
    default:
        return false;
    }
}

std::optional<QKeyCombination> fromKey(int key, Qt::KeyboardModifiers modifiers) {
    if (key == 0 || key == Qt::Key_unknown || isModifierKey(key))
        return std::nullopt;
    // A key value that carries modifier bits is not a key.
    if ((key & Qt::KeyboardModifierMask) != 0)
        return std::nullopt;
    return QKeyCombination(modifiers & shortcutModifierMask, static_cast<Qt::Key>(key));
}

std::optional<QKeyCombination> fromKeyEvent(const QKeyEvent& event) {
    if (event.type() != QEvent::KeyPress || event.isAutoRepeat())
        return std::nullopt;
    return fromKey(event.key(), event.modifiers());
}

bool hasModifiers(QKeyCombination shortcut) {
    return (shortcut.keyboardModifiers() & shortcutModifierMask) != Qt::NoModifier;
}

QString displayText(QKeyCombination shortcut) {
    return QKeySequence(shortcut).toString(QKeySequence::NativeText);
}

QString toPortableText(QKeyCombination shortcut) {
    return QKeySequence(shortcut).toString(QKeySequence::PortableText);
}

std::optional<QKeyCombination> fromPortableText(const QString& text) {
    const QKeySequence sequence = QKeySequence::fromString(text.trimmed(), QKeySequence::PortableText);
    if (sequence.count() != 1)
        return std::nullopt;
    const QKeyCombination combination = sequence[0];
    return fromKey(combination.key(), combination.keyboardModifiers());
}

} // namespace ShortcutKeys
