// A stand-in for the desktop portal's global shortcuts interface on a private bus, with a control
// object through which a test plays the desktop: activates shortcuts, changes their triggers,
// refuses a bind, and reads back what was bound.
#include "platform/portal/PortalShortcutTypes.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>

namespace {

const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

QString senderElement(const QString& sender) {
    QString element = sender;
    if (element.startsWith(QLatin1Char(':')))
        element.remove(0, 1);
    return element.replace(QLatin1Char('.'), QLatin1Char('_'));
}

} // namespace

class FakeDesktop : public QObject {
    Q_OBJECT
public:
    QDBusConnection bus = QDBusConnection::sessionBus();
    QString currentSession;
    QStringList sessions;
    QStringList closedSessions;
    PortalShortcutList bound;
    QHash<QString, QString> triggers;
    uint bindResponse = 0;
    int bindCalls = 0;

    void respond(const QString& requestPath, uint code, const QVariantMap& results) {
        // The answer follows the method's reply, as the real portal's does.
        QTimer::singleShot(0, this, [this, requestPath, code, results] {
            QDBusMessage signal = QDBusMessage::createSignal(
                requestPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
            signal << code << results;
            bus.send(signal);
        });
    }

    QVariant shortcutsWithTriggers() const {
        PortalShortcutList answer;
        for (const PortalShortcut& s : bound) {
            answer.append(PortalShortcut{
                s.id,
                {{QStringLiteral("description"), s.properties.value(QStringLiteral("description"))},
                 {QStringLiteral("trigger_description"), triggers.value(s.id)}}});
        }
        return QVariant::fromValue(answer);
    }

    void emitShortcutSignal(const QString& name, const QString& session, const QString& id) {
        QDBusMessage signal = QDBusMessage::createSignal(portalPath, shortcutsInterface, name);
        signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1234) << QVariantMap();
        bus.send(signal);
    }
};

class ShortcutsAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    ShortcutsAdaptor(QObject* parent, FakeDesktop* desktop)
        : QDBusAbstractAdaptor(parent)
        , d(desktop) {}
    uint version() const { return 1; }

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap& options, const QDBusMessage& message) {
        const QString sender = senderElement(message.service());
        const QString request = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                    .arg(sender, options.value(QStringLiteral("handle_token")).toString());
        const QString session =
            QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2")
                .arg(sender, options.value(QStringLiteral("session_handle_token")).toString());
        d->sessions.append(session);
        d->currentSession = session;
        d->respond(request, 0, {{QStringLiteral("session_handle"), session}});
        return QDBusObjectPath(request);
    }

    QDBusObjectPath BindShortcuts(const QDBusObjectPath& session, const PortalShortcutList& shortcuts,
                                  const QString& /*parentWindow*/, const QVariantMap& options,
                                  const QDBusMessage& message) {
        ++d->bindCalls;
        const QString request = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                    .arg(senderElement(message.service()),
                                         options.value(QStringLiteral("handle_token")).toString());
        if (session.path() != d->currentSession) {
            d->respond(request, 2, {});
            return QDBusObjectPath(request);
        }
        d->bound = shortcuts;
        for (const PortalShortcut& s : shortcuts) {
            if (!d->triggers.contains(s.id))
                d->triggers.insert(s.id,
                                   QStringLiteral("Desktop ") +
                                       s.properties.value(QStringLiteral("preferred_trigger")).toString());
        }
        if (d->bindResponse != 0)
            d->respond(request, d->bindResponse, {});
        else
            d->respond(request, 0, {{QStringLiteral("shortcuts"), d->shortcutsWithTriggers()}});
        return QDBusObjectPath(request);
    }

private:
    FakeDesktop* d;
};

class ControlAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.voxlet.test.FakePortal")
public:
    ControlAdaptor(QObject* parent, FakeDesktop* desktop)
        : QDBusAbstractAdaptor(parent)
        , d(desktop) {}

public Q_SLOTS:
    void Activate(const QString& id) {
        d->emitShortcutSignal(QStringLiteral("Activated"), d->currentSession, id);
    }
    void Deactivate(const QString& id) {
        d->emitShortcutSignal(QStringLiteral("Deactivated"), d->currentSession, id);
    }
    void ActivateInOtherSession(const QString& id) {
        d->emitShortcutSignal(QStringLiteral("Activated"),
                              QStringLiteral("/org/freedesktop/portal/desktop/session/x/other"), id);
    }
    void ActivateInSession(const QString& session, const QString& id) {
        d->emitShortcutSignal(QStringLiteral("Activated"), session, id);
    }
    void ChangeTrigger(const QString& id, const QString& trigger) {
        d->triggers.insert(id, trigger);
        QDBusMessage signal =
            QDBusMessage::createSignal(portalPath, shortcutsInterface, QStringLiteral("ShortcutsChanged"));
        signal << QVariant::fromValue(QDBusObjectPath(d->currentSession)) << d->shortcutsWithTriggers();
        d->bus.send(signal);
    }
    void SetBindResponse(uint code) { d->bindResponse = code; }
    // What the desktop holds, as JSON: the current session, every session made and closed, and the
    // bound shortcuts with their properties.
    QString State() {
        QJsonArray shortcuts;
        for (const PortalShortcut& s : d->bound)
            shortcuts.append(
                QJsonObject{{QStringLiteral("id"), s.id},
                            {QStringLiteral("properties"), QJsonObject::fromVariantMap(s.properties)}});
        return QString::fromUtf8(
            QJsonDocument(
                QJsonObject{{QStringLiteral("session"), d->currentSession},
                            {QStringLiteral("sessions"), QJsonArray::fromStringList(d->sessions)},
                            {QStringLiteral("closed"), QJsonArray::fromStringList(d->closedSessions)},
                            {QStringLiteral("bindCalls"), d->bindCalls},
                            {QStringLiteral("shortcuts"), shortcuts}})
                .toJson(QJsonDocument::Compact));
    }

private:
    FakeDesktop* d;
};

// Sessions live under one subtree; Close forgets the session.
class SessionTree : public QDBusVirtualObject {
public:
    explicit SessionTree(FakeDesktop* desktop)
        : d(desktop) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != QLatin1String("org.freedesktop.portal.Session") ||
            message.member() != QLatin1String("Close"))
            return false;
        d->closedSessions.append(message.path());
        if (d->currentSession == message.path()) {
            d->currentSession.clear();
            d->bound.clear();
        }
        connection.send(message.createReply());
        return true;
    }

private:
    FakeDesktop* d;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    registerPortalShortcutTypes();
    FakeDesktop desktop;
    QObject portalObject;
    new ShortcutsAdaptor(&portalObject, &desktop);
    QObject controlObject;
    new ControlAdaptor(&controlObject, &desktop);
    SessionTree sessions(&desktop);

    QDBusConnection bus = desktop.bus;
    if (!bus.isConnected() || !bus.registerObject(portalPath, &portalObject) ||
        !bus.registerObject(QStringLiteral("/control"), &controlObject) ||
        !bus.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop/session"), &sessions,
                                   QDBusConnection::SubPath) ||
        !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        std::fprintf(stderr, "fake portal: cannot register on the bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    return app.exec();
}

#include "fake_shortcuts_portal.moc"
