#include "dictation/AppLog.h"
#include "platform/fake/RecordingSystemLog.h"
#include "platform/portal/PortalShortcutBackend.h"
#include "shortcuts/GlobalShortcuts.h"
#include "shortcuts/ShortcutBackendSelector.h"

#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <memory>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");

// Runs a coroutine to its end on the event loop.
template <typename T> T await(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

} // namespace

class ShortcutsPortalTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QProcess busDaemon;
    QProcess portal;
    QString address;
    std::unique_ptr<QDBusConnection> bus;
    std::shared_ptr<RecordingSystemLog> systemLog;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<GlobalShortcuts> shortcuts;
    PortalShortcutBackend* backend = nullptr;
    QStringList calls;
    int connectionCount = 0;

    const QString flash = ShortcutNames::toggleDictation;
    const QString pro = ShortcutNames::toggleDictationOptionPro;
    const QString translate = ShortcutNames::toggleDictationTranslate;

    bool startPortal() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        portal.setProcessEnvironment(environment);
        portal.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        portal.start(QStringLiteral(VOXLET_FAKE_PORTAL), {});
        if (!portal.waitForStarted(5000))
            return false;
        return QTest::qWaitFor([&] { return bus->interface()->isServiceRegistered(portalService).value(); },
                               10000);
    }
    void stopPortal() {
        if (portal.state() == QProcess::NotRunning)
            return;
        portal.kill();
        portal.waitForFinished(5000);
        if (!QTest::qWaitFor([&] { return !bus->interface()->isServiceRegistered(portalService).value(); },
                             5000))
            qWarning("the fake portal still owns its name");
    }

    QJsonObject state() {
        QDBusInterface control(portalService, QStringLiteral("/control"),
                               QStringLiteral("org.voxlet.test.FakePortal"), *bus);
        const QDBusReply<QString> reply = control.call(QStringLiteral("State"));
        return QJsonDocument::fromJson(reply.value().toUtf8()).object();
    }
    bool control(const QString& method, const QVariantList& arguments) {
        QDBusInterface iface(portalService, QStringLiteral("/control"),
                             QStringLiteral("org.voxlet.test.FakePortal"), *bus);
        const QDBusMessage reply = iface.callWithArgumentList(QDBus::Block, method, arguments);
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    // A facility on the private bus; waits for its first bind.
    bool makeShortcuts(bool expectSuccess = true) {
        settings =
            std::make_unique<QSettings>(dir.filePath(QStringLiteral("shortcuts.ini")), QSettings::IniFormat);
        auto portalBackend = std::make_unique<PortalShortcutBackend>(*bus);
        backend = portalBackend.get();
        QSignalSpy finished(backend, &PortalShortcutBackend::bindingFinished);
        shortcuts = std::make_unique<GlobalShortcuts>(settings.get(), std::move(portalBackend));
        shortcuts->declareDictationShortcuts();
        calls.clear();
        for (const QString& name : shortcuts->names()) {
            shortcuts->onKeyDown(name, [this, name] { calls.append(QStringLiteral("down:") + name); });
            shortcuts->onKeyUp(name, [this, name] { calls.append(QStringLiteral("up:") + name); });
        }
        // A bus that answers at once may finish the bind before control returns here.
        if (finished.isEmpty() && !finished.wait(10000))
            return false;
        return finished.size() == 1 && finished.last().at(0).toBool() == expectSuccess;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir.isValid());
        qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toUtf8());
        setAppLogToStandardOutput(false);
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);

        // A bus of its own, without service activation, so that no real portal can start on it.
        const QString config = dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                           "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                           "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>")
                .arg(dir.path())
                .toUtf8());
        file.close();
        busDaemon.start(QStringLiteral("dbus-daemon"),
                        {QStringLiteral("--config-file=") + config, QStringLiteral("--print-address"),
                         QStringLiteral("--nofork")});
        QVERIFY2(busDaemon.waitForStarted(5000), "dbus-daemon did not start");
        QTRY_VERIFY_WITH_TIMEOUT(busDaemon.canReadLine(), 10000);
        address = QString::fromUtf8(busDaemon.readLine()).trimmed();
        QVERIFY(!address.isEmpty());
    }
    void cleanupTestCase() {
        setAppSystemLog(nullptr);
        busDaemon.kill();
        busDaemon.waitForFinished(5000);
    }

    void init() {
        QFile::remove(dir.filePath(QStringLiteral("shortcuts.ini")));
        // A fresh connection per test, so that no match rule or name of an earlier test is left.
        const QString name = QStringLiteral("voxlet-test-%1").arg(++connectionCount);
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, name));
        QVERIFY2(bus->isConnected(), qPrintable(bus->lastError().message()));
        QVERIFY(startPortal());
        systemLog->clear();
    }
    void cleanup() {
        shortcuts.reset();
        backend = nullptr;
        stopPortal();
        const QString name = bus->name();
        bus.reset();
        QDBusConnection::disconnectFromBus(name);
    }

    void bindsTheThreeShortcuts() {
        QVERIFY(makeShortcuts());
        const QJsonObject desktop = state();
        const QJsonArray bound = desktop.value(QStringLiteral("shortcuts")).toArray();
        QCOMPARE(bound.size(), 3);
        QStringList ids, triggers;
        for (const QJsonValue& value : bound) {
            const QJsonObject shortcut = value.toObject();
            ids.append(shortcut.value(QStringLiteral("id")).toString());
            const QJsonObject properties = shortcut.value(QStringLiteral("properties")).toObject();
            triggers.append(properties.value(QStringLiteral("preferred_trigger")).toString());
            QVERIFY(!properties.value(QStringLiteral("description")).toString().isEmpty());
        }
        QCOMPARE(ids, (QStringList{flash, pro, translate}));
        // One session for the three.
        QCOMPARE(desktop.value(QStringLiteral("sessions")).toArray().size(), 1);
        QCOMPARE(triggers, (QStringList{"LOGO+period", "ALT+slash", "LOGO+comma"}));
        QCOMPARE(backend->sessionHandle(), desktop.value(QStringLiteral("session")).toString());
        // The desktop's own trigger texts are what the user is shown.
        QCOMPARE(shortcuts->displayText(flash), QStringLiteral("Desktop LOGO+period"));
        QCOMPARE(shortcuts->displayText(pro), QStringLiteral("Desktop ALT+slash"));
        for (const QString& name : shortcuts->names())
            QVERIFY(shortcuts->isAvailable(name));
        QVERIFY(!systemLog->infos().filter(QStringLiteral("through the desktop portal")).isEmpty());
    }

    void activatedAndDeactivatedAreKeyDownAndKeyUp() {
        QVERIFY(makeShortcuts());
        QVERIFY(control(QStringLiteral("Activate"), {flash}));
        QVERIFY(control(QStringLiteral("Activate"), {flash}));
        QTRY_COMPARE(calls, QStringList{"down:" + flash});
        QVERIFY(control(QStringLiteral("Activate"), {pro}));
        QVERIFY(control(QStringLiteral("Deactivate"), {pro}));
        QVERIFY(control(QStringLiteral("Deactivate"), {flash}));
        QTRY_COMPARE(calls, (QStringList{"down:" + flash, "down:" + pro, "up:" + pro, "up:" + flash}));
    }

    void signalsOfOtherSessionsAreIgnored() {
        QVERIFY(makeShortcuts());
        QVERIFY(control(QStringLiteral("ActivateInOtherSession"), {flash}));
        QVERIFY(control(QStringLiteral("Activate"), {QStringLiteral("notOurs")}));
        // A shortcut of ours after them: once it arrives, the earlier signals have been handled.
        QVERIFY(control(QStringLiteral("Activate"), {pro}));
        QTRY_COMPARE(calls, QStringList{"down:" + pro});
    }

    void triggerChangedOnTheDesktopIsShown() {
        QVERIFY(makeShortcuts());
        QSignalSpy changed(shortcuts.get(), &GlobalShortcuts::shortcutChanged);
        QVERIFY(control(QStringLiteral("ChangeTrigger"), {flash, QStringLiteral("Ctrl+Alt+D")}));
        QTRY_COMPARE(shortcuts->displayText(flash), QStringLiteral("Ctrl+Alt+D"));
        QCOMPARE(changed.at(0).at(0).toString(), flash);
        // A shortcut the user unassigned on the desktop cannot trigger.
        QVERIFY(control(QStringLiteral("ChangeTrigger"), {pro, QString()}));
        QTRY_VERIFY(!shortcuts->isAvailable(pro));
    }

    void clearedShortcutIsUnboundAndNeverTriggers() {
        QVERIFY(makeShortcuts());
        const QString firstSession = backend->sessionHandle();
        QSignalSpy finished(backend, &PortalShortcutBackend::bindingFinished);
        shortcuts->setShortcut(flash, std::nullopt);
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.last().at(0).toBool(), true);
        const QJsonObject desktop = state();
        QCOMPARE(desktop.value(QStringLiteral("shortcuts")).toArray().size(), 2);
        QVERIFY(desktop.value(QStringLiteral("closed")).toArray().contains(firstSession));
        QVERIFY(backend->sessionHandle() != firstSession);

        // Neither the new session nor a stale signal of the old one starts the cleared mode.
        QVERIFY(control(QStringLiteral("Activate"), {flash}));
        QVERIFY(control(QStringLiteral("ActivateInSession"), {firstSession, flash}));
        QVERIFY(control(QStringLiteral("Activate"), {pro}));
        QTRY_COMPARE(calls, QStringList{"down:" + pro});
    }

    void newPreferredTriggerKeepsTheSession() {
        QVERIFY(makeShortcuts());
        const int bindCalls = state().value(QStringLiteral("bindCalls")).toInt();
        shortcuts->setShortcut(flash, QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_J));
        QCOMPARE(state().value(QStringLiteral("bindCalls")).toInt(), bindCalls);
        QVERIFY(!systemLog->infos()
                     .filter(QStringLiteral("change them in the desktop's keyboard shortcut settings"))
                     .isEmpty());
        // The desktop still decides, and its trigger is what is shown.
        QCOMPARE(shortcuts->displayText(flash), QStringLiteral("Desktop LOGO+period"));
    }

    void refusedBindMakesShortcutsUnavailable() {
        QVERIFY(control(QStringLiteral("SetBindResponse"), {1u}));
        QVERIFY(makeShortcuts(false));
        for (const QString& name : shortcuts->names()) {
            QVERIFY(!shortcuts->isAvailable(name));
            QCOMPARE(shortcuts->unavailableReason(name),
                     QStringLiteral("binding the shortcuts was cancelled by the user"));
        }
        QVERIFY(!systemLog->infos()
                     .filter(QStringLiteral(
                         "GlobalShortcuts: Portal shortcuts are unavailable: binding the shortcuts "
                         "was cancelled by the user"))
                     .isEmpty());
    }

    void missingPortalIsReported() {
        stopPortal();
        QVERIFY(makeShortcuts(false));
        for (const QString& name : shortcuts->names()) {
            QVERIFY(!shortcuts->isAvailable(name));
            QVERIFY(shortcuts->unavailableReason(name).contains(
                QStringLiteral("cannot create a shortcuts session")));
        }
        QVERIFY(!await(PortalShortcutBackend::interfaceVersion(*bus)).has_value());
    }

    void waylandSessionUsesThePortalWhenOffered_data() {
        QTest::addColumn<bool>("portalRunning");
        QTest::addColumn<QString>("expected");
        QTest::newRow("portal offers shortcuts") << true << "portal";
        QTest::newRow("no portal") << false << "none";
    }
    void waylandSessionUsesThePortalWhenOffered() {
        QFETCH(bool, portalRunning);
        QFETCH(QString, expected);
        if (!portalRunning)
            stopPortal();
        QCOMPARE(await(PortalShortcutBackend::interfaceVersion(*bus)),
                 portalRunning ? std::optional<uint>(1) : std::nullopt);
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-0"));
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":0"));
        const std::unique_ptr<ShortcutBackend> chosen =
            await(ShortcutBackendSelector::createForSession(environment, *bus));
        QVERIFY(chosen);
        QCOMPARE(chosen->backendName(), expected);
        chosen->setBindings({});
        if (!portalRunning)
            QVERIFY(!systemLog->infos().filter(QStringLiteral("Log in to an X11 session")).isEmpty());
    }
};

QTEST_MAIN(ShortcutsPortalTest)
#include "tst_shortcuts_portal.moc"
