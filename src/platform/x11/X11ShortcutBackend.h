#pragma once

#include "platform/ShortcutBackend.h"

#include <QObject>

#include <memory>

// Global shortcuts on an X11 display: a passive key grab on the root window for each combination
// (and its Caps Lock / Num Lock variants), with XKB detectable auto-repeat so that a held key gives
// one press and one release. Grabs follow keyboard-layout changes. Runs on its own connection,
// read on the GUI thread.
class X11ShortcutBackend : public QObject, public ShortcutBackend {
    Q_OBJECT
public:
    // Connects to `displayName` (empty: $DISPLAY). None when the display cannot be opened; the
    // reason is logged.
    static std::unique_ptr<X11ShortcutBackend> connect(const QString& displayName = {});
    ~X11ShortcutBackend() override;

    QString backendName() const override;
    void setBindings(const QList<ShortcutBinding>& bindings) override;

    // Whether the server keeps held keys from sending release/press pairs for this connection.
    bool hasDetectableAutoRepeat() const;

private:
    class Private;
    explicit X11ShortcutBackend(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};
