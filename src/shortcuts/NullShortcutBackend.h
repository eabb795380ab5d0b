#pragma once

#include "platform/ShortcutBackend.h"

// The backend of a session where no global shortcut can work (no X display, a Wayland desktop
// without the shortcuts portal). It says so once in the log, with what the user can do instead,
// and reports every binding as unavailable with that reason.
class NullShortcutBackend : public ShortcutBackend {
public:
    // `reason`: why no shortcut can work here, one sentence, shown to the user as the unavailable
    // reason. `advice`: what the user can do instead, for the log.
    NullShortcutBackend(QString reason, QString advice);

    QString backendName() const override;
    void setBindings(const QList<ShortcutBinding>& bindings) override;

    QString reason() const { return unavailableReason; }

private:
    QString unavailableReason;
    QString userAdvice;
    bool explained = false;
};
