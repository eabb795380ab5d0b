#include "dictation/AppLog.h"
#include "platform/fake/FakeShortcutBackend.h"
#include "platform/fake/RecordingSystemLog.h"
#include "platform/portal/PortalTrigger.h"
#include "platform/x11/X11KeyMapping.h"
#include "shortcuts/GlobalShortcuts.h"
#include "shortcuts/NullShortcutBackend.h"
#include "shortcuts/ShortcutBackendSelector.h"
#include "shortcuts/ShortcutHoldTracker.h"
#include "shortcuts/ShortcutKeys.h"

#include <QKeyEvent>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using Combo = std::optional<QKeyCombination>;
Q_DECLARE_METATYPE(Combo)

namespace {

QKeyCombination combo(Qt::KeyboardModifiers modifiers, Qt::Key key) {
    return QKeyCombination(modifiers, key);
}

QString text(const Combo& shortcut) {
    return shortcut ? ShortcutKeys::toPortableText(*shortcut) : QStringLiteral("none");
}

} // namespace

class ShortcutsLogicTest : public QObject {
    Q_OBJECT

    QTemporaryDir stateDir;
    std::shared_ptr<RecordingSystemLog> systemLog;

    QString settingsPath() const { return stateDir.filePath(QStringLiteral("shortcuts.ini")); }

    // A facility over a fake backend and settings in the test's folder.
    struct Fixture {
        std::unique_ptr<QSettings> settings;
        FakeShortcutBackend* backend = nullptr;
        std::unique_ptr<GlobalShortcuts> shortcuts;
        QStringList calls;

        explicit Fixture(const QString& path)
            : settings(std::make_unique<QSettings>(path, QSettings::IniFormat)) {
            auto fake = std::make_unique<FakeShortcutBackend>();
            backend = fake.get();
            shortcuts = std::make_unique<GlobalShortcuts>(settings.get(), std::move(fake));
            shortcuts->declareDictationShortcuts();
            for (const QString& name : shortcuts->names()) {
                shortcuts->onKeyDown(name, [this, name] { calls.append(QStringLiteral("down:") + name); });
                shortcuts->onKeyUp(name, [this, name] { calls.append(QStringLiteral("up:") + name); });
            }
        }
    };

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(stateDir.isValid());
        qputenv("XDG_STATE_HOME", stateDir.filePath(QStringLiteral("state")).toUtf8());
        setAppLogToStandardOutput(false);
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);
    }
    void init() {
        QFile::remove(settingsPath());
        systemLog->clear();
    }
    void cleanupTestCase() { setAppSystemLog(nullptr); }

    // --- keys of a shortcut

    void keyEventMakesShortcut_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("autoRepeat");
        QTest::addColumn<QString>("expected");

        QTest::newRow("super period")
            << int(QEvent::KeyPress) << int(Qt::Key_Period) << int(Qt::MetaModifier) << false << "Meta+.";
        QTest::newRow("ctrl shift letter")
            << int(QEvent::KeyPress) << int(Qt::Key_K) << int(Qt::ControlModifier | Qt::ShiftModifier)
            << false << "Ctrl+Shift+K";
        QTest::newRow("plain letter is a shortcut without modifiers")
            << int(QEvent::KeyPress) << int(Qt::Key_A) << 0 << false << "A";
        QTest::newRow("keypad state is not part of it")
            << int(QEvent::KeyPress) << int(Qt::Key_5) << int(Qt::AltModifier | Qt::KeypadModifier) << false
            << "Alt+5";
        QTest::newRow("lone modifier key")
            << int(QEvent::KeyPress) << int(Qt::Key_Meta) << int(Qt::MetaModifier) << false << "none";
        QTest::newRow("lone super key")
            << int(QEvent::KeyPress) << int(Qt::Key_Super_L) << 0 << false << "none";
        QTest::newRow("unknown key") << int(QEvent::KeyPress) << int(Qt::Key_unknown) << int(Qt::AltModifier)
                                     << false << "none";
        QTest::newRow("auto-repeat") << int(QEvent::KeyPress) << int(Qt::Key_Period) << int(Qt::MetaModifier)
                                     << true << "none";
        QTest::newRow("key release") << int(QEvent::KeyRelease) << int(Qt::Key_Period)
                                     << int(Qt::MetaModifier) << false << "none";
    }
    void keyEventMakesShortcut() {
        QFETCH(int, type);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, autoRepeat);
        QFETCH(QString, expected);
        const QKeyEvent event(static_cast<QEvent::Type>(type), key, Qt::KeyboardModifiers(modifiers),
                              QString(), autoRepeat);
        QCOMPARE(text(GlobalShortcuts::shortcutFromKeyEvent(event)), expected);
    }

    void hasModifiers_data() {
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("expected");
        QTest::newRow("none") << 0 << false;
        QTest::newRow("keypad only") << int(Qt::KeypadModifier) << false;
        QTest::newRow("shift") << int(Qt::ShiftModifier) << true;
        QTest::newRow("ctrl") << int(Qt::ControlModifier) << true;
        QTest::newRow("alt") << int(Qt::AltModifier) << true;
        QTest::newRow("super") << int(Qt::MetaModifier) << true;
    }
    void hasModifiers() {
        QFETCH(int, modifiers);
        QFETCH(bool, expected);
        QCOMPARE(GlobalShortcuts::hasModifiers(QKeyCombination(Qt::KeyboardModifiers(modifiers), Qt::Key_J)),
                 expected);
    }

    void portableText_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        QTest::newRow("super period") << "Meta+."
                                      << "Meta+.";
        QTest::newRow("alt slash") << "Alt+/"
                                   << "Alt+/";
        QTest::newRow("other order") << "Alt+Ctrl+J"
                                     << "Ctrl+Alt+J";
        QTest::newRow("function key") << "Ctrl+F12"
                                      << "Ctrl+F12";
        QTest::newRow("surrounding spaces") << " Meta+, "
                                            << "Meta+,";
        QTest::newRow("empty") << ""
                               << "none";
        QTest::newRow("unknown key name") << "Meta+Nonsense"
                                          << "none";
        QTest::newRow("two chords") << "Ctrl+A, Ctrl+B"
                                    << "none";
        QTest::newRow("modifier only") << "Meta"
                                       << "none";
    }
    void portableText() {
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        QCOMPARE(text(ShortcutKeys::fromPortableText(stored)), expected);
    }

    void displayTextNamesKeyAndModifiers() {
        // The native text is the desktop's; what matters is that it names the key and every modifier
        // and differs between shortcuts that differ.
        const QString superPeriod = GlobalShortcuts::displayText(combo(Qt::MetaModifier, Qt::Key_Period));
        const QString superComma = GlobalShortcuts::displayText(combo(Qt::MetaModifier, Qt::Key_Comma));
        const QString altSlash = GlobalShortcuts::displayText(combo(Qt::AltModifier, Qt::Key_Slash));
        QVERIFY(superPeriod.endsWith(QLatin1Char('.')));
        QVERIFY(superComma.endsWith(QLatin1Char(',')));
        QVERIFY(altSlash.endsWith(QLatin1Char('/')));
        QVERIFY(superPeriod.size() > 1 && altSlash.size() > 1);
        QVERIFY(superPeriod.chopped(1) != altSlash.chopped(1));
        QCOMPARE(superPeriod.chopped(1), superComma.chopped(1));
    }

    // --- one press and one release per hold

    void holdTracking_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        // pK=name: key K pressed, matching name (empty: no binding); rK: key K released;
        // mK: modifier key K released.
        QTest::newRow("press and release") << "p1=a r1"
                                           << "down:a up:a keyUp";
        QTest::newRow("auto-repeat is one hold") << "p1=a p1=a p1=a r1"
                                                 << "down:a up:a keyUp";
        QTest::newRow("modifier released first") << "p1=a m2 r1"
                                                 << "down:a mods up:a keyUp";
        QTest::newRow("modifier released last") << "p1=a r1 m2"
                                                << "down:a up:a keyUp mods";
        QTest::newRow("second shortcut while held") << "p1=a p3=b r3 r1"
                                                    << "down:a down:b up:b keyUp up:a keyUp";
        QTest::newRow("second press of the same name on another key") << "p1=a p4=a r1 r4"
                                                                      << "down:a keyUp up:a keyUp";
        QTest::newRow("press without binding") << "p5= r5"
                                               << "keyUp";
        QTest::newRow("release of a key never pressed") << "r7"
                                                        << "keyUp";
        QTest::newRow("held again after release") << "p1=a r1 p1=a r1"
                                                  << "down:a up:a keyUp down:a up:a keyUp";
    }
    void holdTracking() {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        ShortcutHoldTracker tracker;
        QStringList seen;
        tracker.onPressed = [&](const QString& name) { seen.append(QStringLiteral("down:") + name); };
        tracker.onReleased = [&](const QString& name) { seen.append(QStringLiteral("up:") + name); };
        tracker.onReleaseEvent = [&](const ShortcutReleaseEvent& event) {
            seen.append(event.kind == ShortcutReleaseEvent::Kind::keyUp ? QStringLiteral("keyUp")
                                                                        : QStringLiteral("mods"));
        };
        for (const QString& step : script.split(QLatin1Char(' '))) {
            const quint32 keyId = step.mid(1, 1).toUInt();
            if (step.startsWith(QLatin1Char('p')))
                tracker.keyPressed(keyId, step.section(QLatin1Char('='), 1));
            else
                tracker.keyReleased(keyId, Qt::Key_Period, Qt::NoModifier, step.startsWith(QLatin1Char('m')));
        }
        QCOMPARE(seen.join(QLatin1Char(' ')), expected);
    }

    void releaseEventsCarryKeyAndRemainingModifiers() {
        ShortcutHoldTracker tracker;
        QList<ShortcutReleaseEvent> events;
        tracker.onReleaseEvent = [&](const ShortcutReleaseEvent& event) { events.append(event); };
        tracker.keyPressed(60, QStringLiteral("a"));
        tracker.keyReleased(133, Qt::Key_Super_L, Qt::ShiftModifier, true);
        tracker.keyReleased(60, Qt::Key_Period, Qt::ShiftModifier, false);
        QCOMPARE(events.size(), 2);
        QCOMPARE(events[0].kind, ShortcutReleaseEvent::Kind::modifiersChanged);
        QCOMPARE(events[0].key, Qt::Key_unknown);
        QCOMPARE(events[0].modifiers, Qt::KeyboardModifiers(Qt::ShiftModifier));
        QCOMPARE(events[1].kind, ShortcutReleaseEvent::Kind::keyUp);
        QCOMPARE(events[1].key, Qt::Key_Period);
    }

    void holdsOfUnboundNamesEndWithTheirBinding() {
        ShortcutHoldTracker tracker;
        QStringList released;
        tracker.onReleased = [&](const QString& name) { released.append(name); };
        tracker.keyPressed(1, QStringLiteral("a"));
        tracker.keyPressed(2, QStringLiteral("b"));
        tracker.releaseUnbound([](const QString& name) { return name == QLatin1String("b"); });
        QCOMPARE(released, QStringList{QStringLiteral("a")});
        QVERIFY(tracker.isHeld(QStringLiteral("b")));
        // The key-up that follows is only an event now, not a second release.
        tracker.keyReleased(1, Qt::Key_Period, {}, false);
        QCOMPARE(released, QStringList{QStringLiteral("a")});
        tracker.releaseAll();
        QCOMPARE(released, (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    }

    // --- the facility

    void defaultsAndBindings_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("flash") << ShortcutNames::toggleDictation << "Meta+.";
        QTest::newRow("pro") << ShortcutNames::toggleDictationOptionPro << "Alt+/";
        QTest::newRow("translate") << ShortcutNames::toggleDictationTranslate << "Meta+,";
    }
    void defaultsAndBindings() {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        Fixture f(settingsPath());
        QCOMPARE(text(f.shortcuts->shortcut(name)), expected);
        QCOMPARE(text(f.shortcuts->defaultShortcut(name)), expected);
        QVERIFY(f.shortcuts->isAvailable(name));
        QCOMPARE(f.backend->bindings.size(), 3);
        const auto bound = std::find_if(f.backend->bindings.cbegin(), f.backend->bindings.cend(),
                                        [&](const ShortcutBinding& b) { return b.name == name; });
        QVERIFY(bound != f.backend->bindings.cend());
        QCOMPARE(text(bound->combination), expected);
        QVERIFY(!bound->description.isEmpty());
        // Defaults are not written until the user chooses.
        QVERIFY(!f.settings->contains(QStringLiteral("Shortcuts/") + name));
    }

    void storedChoiceReplacesDefault_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("logsInvalid");
        QTest::newRow("recorded") << QVariant(QStringLiteral("Ctrl+Alt+J")) << "Ctrl+Alt+J" << false;
        QTest::newRow("cleared") << QVariant(QString()) << "none" << false;
        QTest::newRow("unreadable") << QVariant(QStringLiteral("Meta+Nonsense")) << "Meta+." << true;
        QTest::newRow("two chords") << QVariant(QStringLiteral("Ctrl+A, Ctrl+B")) << "Meta+." << true;
    }
    void storedChoiceReplacesDefault() {
        QFETCH(QVariant, stored);
        QFETCH(QString, expected);
        QFETCH(bool, logsInvalid);
        {
            QSettings settings(settingsPath(), QSettings::IniFormat);
            settings.setValue(QStringLiteral("Shortcuts/toggleDictation"), stored);
        }
        Fixture f(settingsPath());
        QCOMPARE(text(f.shortcuts->shortcut(ShortcutNames::toggleDictation)), expected);
        QCOMPARE(text(f.backend->bindings.value(0).combination), expected);
        const bool logged =
            !systemLog->infos()
                 .filter(QStringLiteral("GlobalShortcuts: Stored shortcut \"") + stored.toString())
                 .isEmpty();
        QCOMPARE(logged, logsInvalid);
    }

    void storeRebindsAtOnceAndPersists() {
        const QKeyCombination ctrlAltJ = combo(Qt::ControlModifier | Qt::AltModifier, Qt::Key_J);
        {
            Fixture f(settingsPath());
            QSignalSpy changed(f.shortcuts.get(), &GlobalShortcuts::shortcutChanged);
            const int before = f.backend->bindCount;
            f.shortcuts->setShortcut(ShortcutNames::toggleDictation, ctrlAltJ);
            QCOMPARE(f.backend->bindCount, before + 1);
            QCOMPARE(f.backend->nameBoundTo(ctrlAltJ), ShortcutNames::toggleDictation);
            QCOMPARE(f.backend->nameBoundTo(combo(Qt::MetaModifier, Qt::Key_Period)), QString());
            QCOMPARE(changed.size(), 1);
            QCOMPARE(changed.at(0).at(0).toString(), ShortcutNames::toggleDictation);

            f.shortcuts->setShortcut(ShortcutNames::toggleDictationTranslate, std::nullopt);
            QVERIFY(!f.shortcuts->shortcut(ShortcutNames::toggleDictationTranslate));
            QCOMPARE(f.shortcuts->displayText(ShortcutNames::toggleDictationTranslate), QString());
            QVERIFY(!f.shortcuts->isAvailable(ShortcutNames::toggleDictationTranslate));
        }
        QSettings raw(settingsPath(), QSettings::IniFormat);
        QCOMPARE(raw.value(QStringLiteral("Shortcuts/toggleDictation")).toString(),
                 QStringLiteral("Ctrl+Alt+J"));
        QCOMPARE(raw.value(QStringLiteral("Shortcuts/toggleDictationTranslate")).toString(), QString());

        Fixture again(settingsPath());
        QCOMPARE(text(again.shortcuts->shortcut(ShortcutNames::toggleDictation)),
                 QStringLiteral("Ctrl+Alt+J"));
        QCOMPARE(text(again.shortcuts->shortcut(ShortcutNames::toggleDictationTranslate)),
                 QStringLiteral("none"));
        QCOMPARE(text(again.shortcuts->shortcut(ShortcutNames::toggleDictationOptionPro)),
                 QStringLiteral("Alt+/"));

        again.shortcuts->resetToDefault(ShortcutNames::toggleDictationTranslate);
        QCOMPARE(text(again.shortcuts->shortcut(ShortcutNames::toggleDictationTranslate)),
                 QStringLiteral("Meta+,"));
    }

    void shortcutHeldByAnotherNameMoves() {
        Fixture f(settingsPath());
        QSignalSpy changed(f.shortcuts.get(), &GlobalShortcuts::shortcutChanged);
        f.shortcuts->setShortcut(ShortcutNames::toggleDictationOptionPro,
                                 combo(Qt::MetaModifier, Qt::Key_Period));
        QCOMPARE(text(f.shortcuts->shortcut(ShortcutNames::toggleDictationOptionPro)),
                 QStringLiteral("Meta+."));
        QVERIFY(!f.shortcuts->shortcut(ShortcutNames::toggleDictation));
        QCOMPARE(f.backend->nameBoundTo(combo(Qt::MetaModifier, Qt::Key_Period)),
                 ShortcutNames::toggleDictationOptionPro);
        QCOMPARE(changed.size(), 2);
        QCOMPARE(f.settings->value(QStringLiteral("Shortcuts/toggleDictation")).toString(), QString());
        QVERIFY(!systemLog->infos().filter(QStringLiteral("toggleDictation is now cleared")).isEmpty());
    }

    void pressesReachHandlersOncePerHold() {
        Fixture f(settingsPath());
        const QString flash = ShortcutNames::toggleDictation;
        const QString pro = ShortcutNames::toggleDictationOptionPro;
        f.backend->release(flash); // a release without a press is not a key-up
        f.backend->press(flash);
        f.backend->press(flash);
        f.backend->press(pro);
        f.backend->release(pro);
        f.backend->release(flash);
        f.backend->release(flash);
        QCOMPARE(f.calls, (QStringList{"down:" + flash, "down:" + pro, "up:" + pro, "up:" + flash}));
    }

    void clearedShortcutNeverTriggers() {
        Fixture f(settingsPath());
        f.shortcuts->setShortcut(ShortcutNames::toggleDictation, std::nullopt);
        // Even a backend that still reports the name does not start anything.
        f.backend->press(ShortcutNames::toggleDictation);
        f.backend->release(ShortcutNames::toggleDictation);
        QVERIFY(f.calls.isEmpty());
        QCOMPARE(f.backend->nameBoundTo(combo(Qt::MetaModifier, Qt::Key_Period)), QString());
    }

    void holdEndsWhenBackendIsReplaced() {
        Fixture f(settingsPath());
        f.backend->press(ShortcutNames::toggleDictation);
        auto replacement = std::make_unique<FakeShortcutBackend>();
        FakeShortcutBackend* second = replacement.get();
        f.shortcuts->setBackend(std::move(replacement));
        f.backend = second;
        QCOMPARE(f.calls, (QStringList{"down:" + ShortcutNames::toggleDictation,
                                       "up:" + ShortcutNames::toggleDictation}));
        QCOMPARE(second->bindings.size(), 3);
    }

    void releaseEventsAreForwarded() {
        Fixture f(settingsPath());
        QSignalSpy spy(f.shortcuts.get(), &GlobalShortcuts::releaseEvent);
        const ShortcutReleaseEvent event{ShortcutReleaseEvent::Kind::modifiersChanged, Qt::Key_unknown,
                                         Qt::ShiftModifier};
        f.backend->sendReleaseEvent(event);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(0).value<ShortcutReleaseEvent>(), event);
    }

    void availabilityAndDesktopTriggers() {
        Fixture f(settingsPath());
        const QString flash = ShortcutNames::toggleDictation;
        QSignalSpy availability(f.shortcuts.get(), &GlobalShortcuts::availabilityChanged);
        QSignalSpy changed(f.shortcuts.get(), &GlobalShortcuts::shortcutChanged);
        f.backend->setAvailable(flash, false, QStringLiteral("Meta+. is already taken by another program"));
        QVERIFY(!f.shortcuts->isAvailable(flash));
        QCOMPARE(f.shortcuts->unavailableReason(flash),
                 QStringLiteral("Meta+. is already taken by another program"));
        QCOMPARE(availability.size(), 1);
        f.backend->setAvailable(flash, false, QStringLiteral("Meta+. is already taken by another program"));
        QCOMPARE(availability.size(), 1);
        f.backend->setAvailable(flash, true);
        QVERIFY(f.shortcuts->isAvailable(flash));

        const QString own = f.shortcuts->displayText(flash);
        QCOMPARE(own, GlobalShortcuts::displayText(combo(Qt::MetaModifier, Qt::Key_Period)));
        f.backend->setTrigger(flash, QStringLiteral("Ctrl+Alt+D"));
        QCOMPARE(f.shortcuts->displayText(flash), QStringLiteral("Ctrl+Alt+D"));
        QCOMPARE(changed.size(), 1);
        f.backend->setTrigger(flash, QString());
        QCOMPARE(f.shortcuts->displayText(flash), own);
    }

    void undeclaredNamesAreRefused() {
        Fixture f(settingsPath());
        f.shortcuts->setShortcut(QStringLiteral("somethingElse"), combo(Qt::ControlModifier, Qt::Key_Q));
        QVERIFY(!f.shortcuts->shortcut(QStringLiteral("somethingElse")));
        QVERIFY(!f.settings->contains(QStringLiteral("Shortcuts/somethingElse")));
        QVERIFY(!systemLog->infos().filter(QStringLiteral("undeclared shortcut somethingElse")).isEmpty());
        // A lone modifier key is not stored over the shortcut in place.
        f.shortcuts->setShortcut(ShortcutNames::toggleDictation, combo(Qt::MetaModifier, Qt::Key_Meta));
        QCOMPARE(text(f.shortcuts->shortcut(ShortcutNames::toggleDictation)), QStringLiteral("Meta+."));
        QVERIFY(!f.settings->contains(QStringLiteral("Shortcuts/toggleDictation")));
        // A second declaration keeps the first default.
        f.shortcuts->declare(ShortcutNames::toggleDictation, QStringLiteral("x"),
                             combo(Qt::ControlModifier, Qt::Key_Q));
        QCOMPARE(text(f.shortcuts->shortcut(ShortcutNames::toggleDictation)), QStringLiteral("Meta+."));
    }

    void nullBackendExplainsItself() {
        QSettings settings(settingsPath(), QSettings::IniFormat);
        GlobalShortcuts shortcuts(
            &settings, std::make_unique<NullShortcutBackend>(QStringLiteral("there is no display."),
                                                             QStringLiteral("Start a desktop.")));
        shortcuts.declareDictationShortcuts();
        for (const QString& name : shortcuts.names()) {
            QVERIFY(!shortcuts.isAvailable(name));
            QCOMPARE(shortcuts.unavailableReason(name), QStringLiteral("there is no display."));
        }
        const QStringList lines = systemLog->infos().filter(QStringLiteral("No global shortcut can work"));
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines[0].contains(QStringLiteral("there is no display. Start a desktop.")));
    }

    // --- backend choice and key names

    void backendChoice_data() {
        QTest::addColumn<QString>("sessionType");
        QTest::addColumn<QString>("waylandDisplay");
        QTest::addColumn<QString>("display");
        QTest::addColumn<bool>("portal");
        QTest::addColumn<int>("expected");
        using C = ShortcutBackendSelector::Choice;
        QTest::newRow("x11") << "x11"
                             << ""
                             << ":0" << false << int(C::x11);
        QTest::newRow("display only") << ""
                                      << ""
                                      << ":1" << true << int(C::x11);
        QTest::newRow("wayland with portal") << "wayland"
                                             << "wayland-0"
                                             << ":0" << true << int(C::portal);
        QTest::newRow("wayland display without session type") << ""
                                                              << "wayland-0"
                                                              << "" << true << int(C::portal);
        QTest::newRow("wayland without portal, Xwayland present") << "wayland"
                                                                  << "wayland-0"
                                                                  << ":0" << false << int(C::none);
        QTest::newRow("nothing") << "tty"
                                 << ""
                                 << "" << false << int(C::none);
    }
    void backendChoice() {
        QFETCH(QString, sessionType);
        QFETCH(QString, waylandDisplay);
        QFETCH(QString, display);
        QFETCH(bool, portal);
        QFETCH(int, expected);
        QProcessEnvironment environment;
        if (!sessionType.isEmpty())
            environment.insert(QStringLiteral("XDG_SESSION_TYPE"), sessionType);
        if (!waylandDisplay.isEmpty())
            environment.insert(QStringLiteral("WAYLAND_DISPLAY"), waylandDisplay);
        if (!display.isEmpty())
            environment.insert(QStringLiteral("DISPLAY"), display);
        QCOMPARE(int(ShortcutBackendSelector::choose(environment, portal)), expected);
    }

    void keysyms_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<uint>("keysym");
        QTest::addColumn<QString>("trigger");
        QTest::newRow("period") << int(Qt::Key_Period) << 0x2eu << "LOGO+period";
        QTest::newRow("slash") << int(Qt::Key_Slash) << 0x2fu << "LOGO+slash";
        QTest::newRow("letter is lower case") << int(Qt::Key_J) << 0x6au << "LOGO+j";
        QTest::newRow("digit") << int(Qt::Key_5) << 0x35u << "LOGO+5";
        QTest::newRow("space") << int(Qt::Key_Space) << 0x20u << "LOGO+space";
        QTest::newRow("latin-1 capital") << int(Qt::Key_Adiaeresis) << 0xe4u << "LOGO+adiaeresis";
        QTest::newRow("function key") << int(Qt::Key_F12) << 0xffc9u << "LOGO+F12";
        QTest::newRow("escape") << int(Qt::Key_Escape) << 0xff1bu << "LOGO+Escape";
        QTest::newRow("cyrillic letter") << 0x0416 << 0x01000436u << "LOGO+U0436";
    }
    void keysyms() {
        QFETCH(int, key);
        QFETCH(uint, keysym);
        QFETCH(QString, trigger);
        QCOMPARE(X11KeyMapping::keysymForKey(key), keysym);
        QCOMPARE(X11KeyMapping::keyForKeysym(keysym), key);
        QCOMPARE(PortalTrigger::fromCombination(QKeyCombination(Qt::MetaModifier, static_cast<Qt::Key>(key))),
                 trigger);
    }

    void portalTriggerModifiers() {
        QCOMPARE(PortalTrigger::fromCombination(combo(Qt::AltModifier, Qt::Key_Slash)),
                 QStringLiteral("ALT+slash"));
        QCOMPARE(
            PortalTrigger::fromCombination(combo(
                Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier, Qt::Key_A)),
            QStringLiteral("CTRL+ALT+SHIFT+LOGO+a"));
        QCOMPARE(PortalTrigger::fromCombination(combo(Qt::ControlModifier, Qt::Key_unknown)), QString());
    }

    void modifierKeysyms() {
        for (uint keysym : {0xffe1u, 0xffe2u, 0xffe3u, 0xffe9u, 0xffebu, 0xffecu, 0xff7fu, 0xfe03u, 0xffe5u})
            QVERIFY2(X11KeyMapping::isModifierKeysym(keysym), qPrintable(QString::number(keysym, 16)));
        for (uint keysym : {0x2eu, 0x61u, 0xff1bu, 0xffbeu, 0xfe20u})
            QVERIFY2(!X11KeyMapping::isModifierKeysym(keysym), qPrintable(QString::number(keysym, 16)));
    }
};

QTEST_MAIN(ShortcutsLogicTest)
#include "tst_shortcuts_logic.moc"
