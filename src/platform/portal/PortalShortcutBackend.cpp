#include "platform/portal/PortalShortcutBackend.h"

#include "dictation/AppLog.h"
#include "platform/portal/PortalRequest.h"
#include "platform/portal/PortalShortcutTypes.h"
#include "platform/portal/PortalTrigger.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QPointer>

#include <qcoro/qcorodbuspendingcall.h>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

QString responseText(uint code) {
    return code == 1 ? QStringLiteral("cancelled by the user")
                     : QStringLiteral("failed (response %1)").arg(code);
}

} // namespace

PortalShortcutBackend::PortalShortcutBackend(QDBusConnection connection, QObject* parent)
    : QObject(parent)
    , bus(std::move(connection)) {
    registerPortalShortcutTypes();
    bus.connect(portalService, portalPath, shortcutsInterface, QStringLiteral("Activated"), this,
                SLOT(handleActivated(QDBusMessage)));
    bus.connect(portalService, portalPath, shortcutsInterface, QStringLiteral("Deactivated"), this,
                SLOT(handleDeactivated(QDBusMessage)));
    bus.connect(portalService, portalPath, shortcutsInterface, QStringLiteral("ShortcutsChanged"), this,
                SLOT(handleShortcutsChanged(QDBusMessage)));
}

PortalShortcutBackend::~PortalShortcutBackend() {
    ++generation;
    closeSession();
}

QString PortalShortcutBackend::backendName() const {
    return QStringLiteral("portal");
}

QCoro::Task<std::optional<uint>> PortalShortcutBackend::interfaceVersion(QDBusConnection connection) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << shortcutsInterface << QStringLiteral("version");
    const QDBusMessage reply = co_await connection.asyncCall(call, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        appLog(
            QStringLiteral("GlobalShortcuts: The desktop portal has no global shortcuts interface (%1: %2)")
                .arg(reply.errorName(), reply.errorMessage()));
        co_return std::nullopt;
    }
    const QVariant value = reply.arguments().at(0).value<QDBusVariant>().variant();
    bool ok = false;
    const uint version = value.toUInt(&ok);
    if (!ok || version == 0) {
        appLog(
            QStringLiteral("GlobalShortcuts: The desktop portal reports no usable global shortcuts version"));
        co_return std::nullopt;
    }
    co_return version;
}

void PortalShortcutBackend::setBindings(const QList<ShortcutBinding>& bindings) {
    QList<Wanted> wanted;
    for (const ShortcutBinding& binding : bindings) {
        if (binding.combination)
            wanted.append(Wanted{binding.name, binding.description,
                                 PortalTrigger::fromCombination(*binding.combination)});
    }
    // The desktop keeps the user's own triggers per shortcut id, so only a change in which shortcuts
    // exist needs a new session; a new preferred trigger cannot be pushed to an existing binding.
    bool sameSet = active && wanted.size() == boundSet.size();
    bool triggerChanged = false;
    for (qsizetype i = 0; sameSet && i < wanted.size(); ++i) {
        sameSet = wanted[i].name == boundSet[i].name && wanted[i].description == boundSet[i].description;
        triggerChanged = triggerChanged || wanted[i].preferredTrigger != boundSet[i].preferredTrigger;
    }
    if (sameSet) {
        if (triggerChanged && !triggerAdviceLogged) {
            triggerAdviceLogged = true;
            appLog(QStringLiteral(
                "GlobalShortcuts: The desktop assigns the keys of portal shortcuts; change them in "
                "the desktop's keyboard shortcut settings"));
        }
        boundSet = wanted;
        return;
    }
    // Holds of shortcuts that go away end now: their Deactivated will not come.
    const QSet<QString> previouslyHeld = std::exchange(held, {});
    for (const QString& name : previouslyHeld) {
        if (onReleased)
            onReleased(name);
    }
    const bool hadSession = !session.isEmpty();
    closeSession();
    boundSet = wanted;
    ++generation;
    active = !wanted.isEmpty();
    if (!active) {
        if (hadSession)
            Q_EMIT bindingFinished(true);
        return;
    }
    establish(wanted, generation);
}

PortalRequest* PortalShortcutBackend::newRequest(QString* token) {
    *token = QStringLiteral("voxlet%1_%2")
                 .arg(QString::number(reinterpret_cast<quintptr>(this), 16))
                 .arg(++tokenCounter);
    QString sender = bus.baseService();
    if (sender.startsWith(QLatin1Char(':')))
        sender.remove(0, 1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    // Subscribed before the call, so that a quick answer is not missed.
    return new PortalRequest(
        bus, QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, *token), this);
}

QCoro::Task<> PortalShortcutBackend::establish(QList<Wanted> wanted, int myGeneration) {
    QPointer<PortalShortcutBackend> self(this);
    const auto superseded = [&] { return !self || generation != myGeneration; };

    // Create the session.
    QString token;
    PortalRequest* request = newRequest(&token);
    QDBusMessage create = QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface,
                                                         QStringLiteral("CreateSession"));
    create << QVariantMap{{QStringLiteral("handle_token"), token},
                          {QStringLiteral("session_handle_token"), token}};
    QDBusMessage reply = co_await bus.asyncCall(create);
    if (superseded())
        co_return;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        request->deleteLater();
        fail(wanted, QStringLiteral("the desktop portal cannot create a shortcuts session (%1: %2)")
                         .arg(reply.errorName(), reply.errorMessage()));
        co_return;
    }
    const QString actualPath = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!actualPath.isEmpty() && actualPath != request->path()) {
        request->deleteLater();
        request = new PortalRequest(bus, actualPath, this);
    }
    auto [createCode, createResults] = co_await request->response();
    if (!self)
        co_return;
    request->deleteLater();
    const QVariant handle = createResults.value(QStringLiteral("session_handle"));
    const QString created = handle.userType() == qMetaTypeId<QDBusObjectPath>()
                                ? handle.value<QDBusObjectPath>().path()
                                : handle.toString();
    if (generation != myGeneration) {
        // A newer set of bindings took over meanwhile: the session made for this one is not wanted.
        if (createCode == 0 && !created.isEmpty())
            bus.asyncCall(QDBusMessage::createMethodCall(portalService, created, sessionInterface,
                                                         QStringLiteral("Close")));
        co_return;
    }
    if (createCode != 0) {
        fail(wanted, QStringLiteral("creating the shortcuts session was %1").arg(responseText(createCode)));
        co_return;
    }
    session = created;
    if (session.isEmpty()) {
        fail(wanted, QStringLiteral("the desktop portal created a session without a handle"));
        co_return;
    }

    // Bind the shortcuts.
    PortalShortcutList shortcuts;
    for (const Wanted& w : wanted) {
        QVariantMap properties{{QStringLiteral("description"), w.description}};
        if (!w.preferredTrigger.isEmpty())
            properties.insert(QStringLiteral("preferred_trigger"), w.preferredTrigger);
        shortcuts.append(PortalShortcut{w.name, properties});
    }
    request = newRequest(&token);
    QDBusMessage bind = QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface,
                                                       QStringLiteral("BindShortcuts"));
    bind << QVariant::fromValue(QDBusObjectPath(session)) << QVariant::fromValue(shortcuts) << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token}};
    // Binding may wait for the user to confirm in a desktop dialog.
    reply = co_await bus.asyncCall(bind, 24 * 3600 * 1000);
    if (superseded())
        co_return;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        request->deleteLater();
        fail(wanted, QStringLiteral("the desktop portal refused to bind the shortcuts (%1: %2)")
                         .arg(reply.errorName(), reply.errorMessage()));
        co_return;
    }
    const QString bindPath = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!bindPath.isEmpty() && bindPath != request->path()) {
        request->deleteLater();
        request = new PortalRequest(bus, bindPath, this);
    }
    auto [bindCode, bindResults] = co_await request->response();
    if (superseded())
        co_return;
    request->deleteLater();
    if (bindCode != 0) {
        fail(wanted, QStringLiteral("binding the shortcuts was %1").arg(responseText(bindCode)));
        co_return;
    }
    QStringList names;
    for (const Wanted& w : wanted)
        names.append(w.name);
    appLog(QStringLiteral("GlobalShortcuts: Bound %1 through the desktop portal")
               .arg(names.join(QStringLiteral(", "))));
    reportTriggers(bindResults.value(QStringLiteral("shortcuts")), true);
    Q_EMIT bindingFinished(true);
}

void PortalShortcutBackend::fail(const QList<Wanted>& wanted, const QString& reason) {
    appLog(QStringLiteral("GlobalShortcuts: Portal shortcuts are unavailable: %1").arg(reason));
    closeSession();
    // The next change of bindings tries again.
    active = false;
    for (const Wanted& w : wanted) {
        if (onAvailabilityChanged)
            onAvailabilityChanged(w.name, false, reason);
    }
    Q_EMIT bindingFinished(false);
}

void PortalShortcutBackend::reportTriggers(const QVariant& value, bool markMissingUnavailable) {
    PortalShortcutList shortcuts;
    if (value.canConvert<QDBusArgument>())
        value.value<QDBusArgument>() >> shortcuts;
    else
        shortcuts = value.value<PortalShortcutList>();
    QSet<QString> seen;
    for (const PortalShortcut& shortcut : std::as_const(shortcuts)) {
        bool known = false;
        for (const Wanted& w : std::as_const(boundSet))
            known = known || w.name == shortcut.id;
        if (!known)
            continue;
        seen.insert(shortcut.id);
        const QString trigger = shortcut.properties.value(QStringLiteral("trigger_description")).toString();
        if (onTriggerChanged)
            onTriggerChanged(shortcut.id, trigger);
        if (onAvailabilityChanged) {
            if (trigger.isEmpty())
                onAvailabilityChanged(shortcut.id, false,
                                      QStringLiteral("the desktop has no key assigned to it"));
            else
                onAvailabilityChanged(shortcut.id, true, {});
        }
    }
    if (!markMissingUnavailable)
        return;
    for (const Wanted& w : std::as_const(boundSet)) {
        if (seen.contains(w.name))
            continue;
        if (onTriggerChanged)
            onTriggerChanged(w.name, {});
        if (onAvailabilityChanged)
            onAvailabilityChanged(w.name, false, QStringLiteral("the desktop did not bind it"));
    }
}

void PortalShortcutBackend::closeSession() {
    if (session.isEmpty())
        return;
    bus.asyncCall(
        QDBusMessage::createMethodCall(portalService, session, sessionInterface, QStringLiteral("Close")));
    session.clear();
}

bool PortalShortcutBackend::isOurSession(const QDBusMessage& message) const {
    const QList<QVariant> arguments = message.arguments();
    if (session.isEmpty() || arguments.size() < 2)
        return false;
    return arguments.at(0).value<QDBusObjectPath>().path() == session;
}

void PortalShortcutBackend::handleActivated(const QDBusMessage& message) {
    if (!isOurSession(message))
        return;
    const QString name = message.arguments().at(1).toString();
    bool known = false;
    for (const Wanted& w : std::as_const(boundSet))
        known = known || w.name == name;
    if (!known || held.contains(name))
        return;
    held.insert(name);
    if (onPressed)
        onPressed(name);
}

void PortalShortcutBackend::handleDeactivated(const QDBusMessage& message) {
    if (!isOurSession(message))
        return;
    const QString name = message.arguments().at(1).toString();
    if (!held.remove(name))
        return;
    if (onReleased)
        onReleased(name);
}

void PortalShortcutBackend::handleShortcutsChanged(const QDBusMessage& message) {
    if (!isOurSession(message))
        return;
    reportTriggers(message.arguments().at(1), false);
}
