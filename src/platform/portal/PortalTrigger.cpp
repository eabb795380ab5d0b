#include "platform/portal/PortalTrigger.h"

#include "platform/x11/X11KeyMapping.h"

#include <QStringList>

#include <xkbcommon/xkbcommon.h>

namespace PortalTrigger {

QString fromCombination(QKeyCombination combination) {
    const quint32 keysym = X11KeyMapping::keysymForKey(combination.key());
    if (keysym == 0)
        return {};
    char name[64] = {};
    if (xkb_keysym_get_name(keysym, name, sizeof name) <= 0)
        return {};
    QStringList parts;
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    if (modifiers & Qt::ControlModifier)
        parts.append(QStringLiteral("CTRL"));
    if (modifiers & Qt::AltModifier)
        parts.append(QStringLiteral("ALT"));
    if (modifiers & Qt::ShiftModifier)
        parts.append(QStringLiteral("SHIFT"));
    if (modifiers & Qt::MetaModifier)
        parts.append(QStringLiteral("LOGO"));
    parts.append(QString::fromLatin1(name));
    return parts.join(QLatin1Char('+'));
}

} // namespace PortalTrigger
