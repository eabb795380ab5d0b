#include "shortcuts/NullShortcutBackend.h"

#include "dictation/AppLog.h"

NullShortcutBackend::NullShortcutBackend(QString reason, QString advice)
    : unavailableReason(std::move(reason))
    , userAdvice(std::move(advice)) {}

QString NullShortcutBackend::backendName() const {
    return QStringLiteral("none");
}

void NullShortcutBackend::setBindings(const QList<ShortcutBinding>& bindings) {
    if (!explained) {
        explained = true;
        appLog(QStringLiteral("GlobalShortcuts: No global shortcut can work in this session: %1 %2")
                   .arg(unavailableReason, userAdvice));
    }
    for (const ShortcutBinding& binding : bindings) {
        if (binding.combination && onAvailabilityChanged)
            onAvailabilityChanged(binding.name, false, unavailableReason);
    }
}
