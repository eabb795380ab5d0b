#pragma once

#include <QKeyCombination>
#include <QString>

// A shortcut written as the desktop portal's preferred trigger: modifiers CTRL, ALT, SHIFT and
// LOGO, then the keysym name of the key, joined by "+" ("LOGO+period"). Empty when the key has no
// keysym name.
namespace PortalTrigger {
QString fromCombination(QKeyCombination combination);
}
