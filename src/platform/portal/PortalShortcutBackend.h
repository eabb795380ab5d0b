#pragma once

#include "platform/ShortcutBackend.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QSet>

#include <qcoro/qcorotask.h>

#include <optional>

class QDBusMessage;
class PortalRequest;

// Global shortcuts through the desktop portal (org.freedesktop.portal.GlobalShortcuts), for
// Wayland desktops: one session binds every named shortcut with its preferred trigger; Activated
// is the press, Deactivated the release. The desktop decides the actual trigger and may let the
// user change it in its own settings; that trigger is reported for display.
class PortalShortcutBackend : public QObject, public ShortcutBackend {
    Q_OBJECT
public:
    explicit PortalShortcutBackend(QDBusConnection bus = QDBusConnection::sessionBus(),
                                   QObject* parent = nullptr);
    ~PortalShortcutBackend() override;

    QString backendName() const override;
    void setBindings(const QList<ShortcutBinding>& bindings) override;

    // The version of the shortcuts interface the bus's portal offers, or none.
    static QCoro::Task<std::optional<uint>> interfaceVersion(QDBusConnection bus);

    // The portal session, empty until one is created.
    QString sessionHandle() const { return session; }

Q_SIGNALS:
    // A bind finished (successfully or not); for observers that wait for the desktop.
    void bindingFinished(bool success);

private Q_SLOTS:
    void handleActivated(const QDBusMessage& message);
    void handleDeactivated(const QDBusMessage& message);
    void handleShortcutsChanged(const QDBusMessage& message);

private:
    struct Wanted {
        QString name;
        QString description;
        QString preferredTrigger;
    };

    QCoro::Task<> establish(QList<Wanted> wanted, int generation);
    PortalRequest* newRequest(QString* token);
    void closeSession();
    void fail(const QList<Wanted>& wanted, const QString& reason);
    void reportTriggers(const QVariant& shortcuts, bool markMissingUnavailable);
    bool isOurSession(const QDBusMessage& message) const;

    QDBusConnection bus;
    QString session;
    QList<Wanted> boundSet;
    QSet<QString> held;
    int generation = 0;
    // A session is being made or is bound for boundSet.
    bool active = false;
    int tokenCounter = 0;
    bool triggerAdviceLogged = false;
};
