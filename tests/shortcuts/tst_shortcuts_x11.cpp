#include "dictation/AppLog.h"
#include "platform/fake/RecordingSystemLog.h"
#include "platform/x11/X11ShortcutBackend.h"
#include "shortcuts/GlobalShortcuts.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>

namespace {

// Runs xdotool to its end while the event loop keeps reading the shortcut connection.
bool xdotool(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForStarted(5000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (process.state() != QProcess::NotRunning && timer.elapsed() < 15000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        process.waitForFinished(10);
    }
    QCoreApplication::processEvents();
    return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

bool run(const QString& program, const QStringList& arguments) {
    return QProcess::execute(program, arguments) == 0;
}

// Another X client, to take combinations before Voxlet does and to see what Voxlet still holds.
class OtherClient {
public:
    OtherClient() {
        connection = xcb_connect(nullptr, nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        symbols = xcb_key_symbols_alloc(connection);
    }
    ~OtherClient() {
        xcb_key_symbols_free(symbols);
        xcb_disconnect(connection);
    }
    bool ok() const { return xcb_connection_has_error(connection) == 0; }

    xcb_keycode_t keycode(xcb_keysym_t keysym) {
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
        const xcb_keycode_t code = codes ? codes[0] : 0;
        std::free(codes);
        return code;
    }
    // True when the grab succeeds, false on BadAccess (someone else holds it).
    bool grab(xcb_keysym_t keysym, quint16 modifiers) {
        auto cookie = xcb_grab_key_checked(connection, 0, root, modifiers, keycode(keysym),
                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        xcb_generic_error_t* error = xcb_request_check(connection, cookie);
        const bool granted = error == nullptr;
        std::free(error);
        return granted;
    }
    void ungrab(xcb_keysym_t keysym, quint16 modifiers) {
        xcb_ungrab_key(connection, keycode(keysym), root, modifiers);
        xcb_flush(connection);
    }
    // The modifier and lock state of the core keyboard.
    quint16 modifierState() {
        auto* reply = xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr);
        const quint16 mask = reply ? reply->mask : 0;
        std::free(reply);
        return mask;
    }

private:
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_NONE;
    xcb_key_symbols_t* symbols = nullptr;
};

constexpr xcb_keysym_t keysymPeriod = 0x2e;
constexpr xcb_keysym_t keysymK = 0x6b;
constexpr quint16 mod4 = XCB_MOD_MASK_4;
constexpr quint16 numLock = XCB_MOD_MASK_2;

} // namespace

class ShortcutsX11Test : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::shared_ptr<RecordingSystemLog> systemLog;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<GlobalShortcuts> shortcuts;
    X11ShortcutBackend* backend = nullptr;
    QStringList calls;
    QList<ShortcutReleaseEvent> releaseEvents;

    const QString flash = ShortcutNames::toggleDictation;
    const QString pro = ShortcutNames::toggleDictationOptionPro;

    // A tap of the Pro shortcut: once its key-up is in, every earlier key event has been read.
    bool barrier() {
        const qsizetype before = calls.count(QStringLiteral("up:") + pro);
        if (!xdotool({QStringLiteral("key"), QStringLiteral("alt+slash")}))
            return false;
        return QTest::qWaitFor([&] { return calls.count(QStringLiteral("up:") + pro) > before; }, 5000);
    }
    QStringList flashCalls() const {
        return calls.filter(QRegularExpression(QStringLiteral("^(down|up):%1$").arg(flash)));
    }

private Q_SLOTS:
    void initTestCase() {
        if (!TestEnvironment::hasService("X11")) {
            if (qEnvironmentVariable("CI") == QLatin1String("true"))
                QFAIL("the X server service is not running");
            QSKIP("no private X server (scripts/services/x11.sh)");
        }
        QVERIFY(dir.isValid());
        qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toUtf8());
        setAppLogToStandardOutput(false);
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);
    }
    void cleanupTestCase() { setAppSystemLog(nullptr); }

    void init() {
        QFile::remove(dir.filePath(QStringLiteral("shortcuts.ini")));
        settings =
            std::make_unique<QSettings>(dir.filePath(QStringLiteral("shortcuts.ini")), QSettings::IniFormat);
        auto x11 = X11ShortcutBackend::connect();
        QVERIFY(x11);
        backend = x11.get();
        shortcuts = std::make_unique<GlobalShortcuts>(settings.get(), std::move(x11));
        shortcuts->declareDictationShortcuts();
        calls.clear();
        releaseEvents.clear();
        for (const QString& name : shortcuts->names()) {
            shortcuts->onKeyDown(name, [this, name] { calls.append(QStringLiteral("down:") + name); });
            shortcuts->onKeyUp(name, [this, name] { calls.append(QStringLiteral("up:") + name); });
        }
        connect(shortcuts.get(), &GlobalShortcuts::releaseEvent, this,
                [this](const ShortcutReleaseEvent& event) { releaseEvents.append(event); });
        for (const QString& name : shortcuts->names())
            QVERIFY2(shortcuts->isAvailable(name), qPrintable(shortcuts->unavailableReason(name)));
        systemLog->clear();
    }
    void cleanup() {
        // Whatever a failed test left pressed must not disturb the next one.
        run(QStringLiteral("xdotool"),
            {QStringLiteral("keyup"), QStringLiteral("period"), QStringLiteral("slash"),
             QStringLiteral("super"), QStringLiteral("shift"), QStringLiteral("alt"),
             QStringLiteral("ctrl")});
        shortcuts.reset();
        backend = nullptr;
    }

    void holdGivesOneDownAndOneUp() {
        QVERIFY(backend->hasDetectableAutoRepeat());
        QVERIFY(xdotool({"keydown", "super+period", "sleep", "1.5", "keyup", "period", "keyup", "super"}));
        QTRY_COMPARE(flashCalls(), (QStringList{"down:" + flash, "up:" + flash}));
        QVERIFY(barrier());
        QCOMPARE(flashCalls(), (QStringList{"down:" + flash, "up:" + flash}));
    }

    void eitherReleaseOrderEndsTheHold_data() {
        QTest::addColumn<bool>("superFirst");
        QTest::newRow("period released first") << false;
        QTest::newRow("super released first") << true;
    }
    void eitherReleaseOrderEndsTheHold() {
        QFETCH(bool, superFirst);
        QVERIFY(xdotool({"keydown", "super+period"}));
        QTRY_COMPARE(flashCalls(), QStringList{"down:" + flash});
        if (superFirst) {
            QVERIFY(xdotool({"keyup", "super"}));
            QTRY_COMPARE(releaseEvents.size(), 1);
            QCOMPARE(releaseEvents[0].kind, ShortcutReleaseEvent::Kind::modifiersChanged);
            QVERIFY(!(releaseEvents[0].modifiers & Qt::MetaModifier));
            // The key is still down: the key-up handler waits for it.
            QCOMPARE(flashCalls(), QStringList{"down:" + flash});
            QVERIFY(xdotool({"keyup", "period"}));
        } else {
            QVERIFY(xdotool({"keyup", "period"}));
            QTRY_COMPARE(flashCalls(), (QStringList{"down:" + flash, "up:" + flash}));
            QVERIFY(xdotool({"keyup", "super"}));
        }
        QTRY_COMPARE(flashCalls(), (QStringList{"down:" + flash, "up:" + flash}));
        const auto keyUp =
            std::find_if(releaseEvents.cbegin(), releaseEvents.cend(), [](const ShortcutReleaseEvent& e) {
                return e.kind == ShortcutReleaseEvent::Kind::keyUp;
            });
        QVERIFY(keyUp != releaseEvents.cend());
        QCOMPARE(keyUp->key, Qt::Key_Period);
        QCOMPARE(bool(keyUp->modifiers & Qt::MetaModifier), !superFirst);
    }

    void secondShortcutWhileHeld() {
        // Super+period held, Super let go, Alt+slash pressed while period is still down: the grab of
        // the first still sees the second, which gets its own key-down and key-up.
        QVERIFY(xdotool({"keydown", "super+period", "keyup", "super", "keydown", "alt+slash"}));
        QTRY_COMPARE(calls, (QStringList{"down:" + flash, "down:" + pro}));
        QVERIFY(xdotool({"keyup", "slash", "keyup", "alt"}));
        QTRY_COMPARE(calls, (QStringList{"down:" + flash, "down:" + pro, "up:" + pro}));
        QVERIFY(xdotool({"keyup", "period"}));
        QTRY_COMPARE(calls, (QStringList{"down:" + flash, "down:" + pro, "up:" + pro, "up:" + flash}));
    }

    void locksDoNotMatter_data() {
        QTest::addColumn<QStringList>("locks");
        QTest::addColumn<int>("mask");
        QTest::newRow("num lock") << QStringList{"Num_Lock"} << int(numLock);
        QTest::newRow("caps lock") << QStringList{"Caps_Lock"} << int(XCB_MOD_MASK_LOCK);
        QTest::newRow("both") << QStringList{"Num_Lock", "Caps_Lock"} << int(numLock | XCB_MOD_MASK_LOCK);
    }
    void locksDoNotMatter() {
        QFETCH(QStringList, locks);
        QFETCH(int, mask);
        OtherClient observer;
        QVERIFY(observer.ok());
        QVERIFY(xdotool(QStringList{"key"} + locks));
        const quint16 state = observer.modifierState();
        const auto unlock = qScopeGuard([&] { run(QStringLiteral("xdotool"), QStringList{"key"} + locks); });
        QCOMPARE(int(state & (numLock | XCB_MOD_MASK_LOCK)), mask);

        QVERIFY(xdotool({"keydown", "super+period", "keyup", "period", "keyup", "super"}));
        QTRY_COMPARE(flashCalls(), (QStringList{"down:" + flash, "up:" + flash}));
    }

    void extraModifierDoesNotTrigger() {
        QVERIFY(xdotool(
            {"keydown", "shift+super+period", "keyup", "period", "keyup", "super", "keyup", "shift"}));
        QVERIFY(barrier());
        QCOMPARE(flashCalls(), QStringList());
    }

    void combinationHeldByAnotherClientIsReported() {
        OtherClient other;
        QVERIFY(other.ok());
        const quint16 ctrlAlt = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;
        QVERIFY(other.grab(keysymK, ctrlAlt));
        QSignalSpy availability(shortcuts.get(), &GlobalShortcuts::availabilityChanged);

        shortcuts->setShortcut(flash, QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_K));
        QVERIFY(!shortcuts->isAvailable(flash));
        QCOMPARE(shortcuts->unavailableReason(flash),
                 QStringLiteral("Ctrl+Alt+K is already taken by another program"));
        QCOMPARE(availability.size(), 1);
        QVERIFY(!systemLog->infos()
                     .filter(QStringLiteral(
                         "GlobalShortcuts: Shortcut toggleDictation is unavailable: Ctrl+Alt+K is "
                         "already taken by another program"))
                     .isEmpty());
        // None of the lock variants is kept half-grabbed.
        QVERIFY(other.grab(keysymK, ctrlAlt | numLock));
        QVERIFY(other.grab(keysymK, ctrlAlt | XCB_MOD_MASK_LOCK));
        other.ungrab(keysymK, ctrlAlt | numLock);
        other.ungrab(keysymK, ctrlAlt | XCB_MOD_MASK_LOCK);

        // Once the other program lets go, storing the shortcut again takes it.
        other.ungrab(keysymK, ctrlAlt);
        shortcuts->setShortcut(flash, std::nullopt);
        shortcuts->setShortcut(flash, QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_K));
        QVERIFY(shortcuts->isAvailable(flash));
        QVERIFY(xdotool({"key", "ctrl+alt+k"}));
        QTRY_COMPARE(flashCalls(), (QStringList{"down:" + flash, "up:" + flash}));
    }

    void storedShortcutWorksAtOnce() {
        shortcuts->setShortcut(flash, QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_J));
        QVERIFY(xdotool({"key", "super+period"}));
        QVERIFY(xdotool({"key", "ctrl+alt+j"}));
        QTRY_COMPARE(flashCalls(), (QStringList{"down:" + flash, "up:" + flash}));
        QVERIFY(barrier());
        QCOMPARE(flashCalls().size(), 2);
        // The old combination is free again for other programs.
        OtherClient other;
        QVERIFY(other.grab(keysymPeriod, mod4));
        other.ungrab(keysymPeriod, mod4);
    }

    void clearedShortcutNeverTriggers() {
        shortcuts->setShortcut(flash, std::nullopt);
        QVERIFY(xdotool({"keydown", "super+period", "keyup", "period", "keyup", "super"}));
        QVERIFY(barrier());
        QCOMPARE(flashCalls(), QStringList());
        OtherClient other;
        QVERIFY(other.grab(keysymPeriod, mod4));
        other.ungrab(keysymPeriod, mod4);
    }

    void grabsFollowLayoutChanges() {
        // Z and Y trade places between the US and German layouts.
        shortcuts->setShortcut(flash, QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_Z));
        const auto reloads = [&] {
            return systemLog->infos().filter(QStringLiteral("Keyboard layout changed")).size();
        };
        QVERIFY(run(QStringLiteral("setxkbmap"), {QStringLiteral("de")}));
        auto restore = qScopeGuard([] { run(QStringLiteral("setxkbmap"), {QStringLiteral("us")}); });
        QTRY_COMPARE(reloads(), 1);
        QVERIFY(xdotool({"key", "ctrl+alt+z"}));
        QTRY_COMPARE(flashCalls(), (QStringList{"down:" + flash, "up:" + flash}));
        QVERIFY(xdotool({"key", "ctrl+alt+y"}));

        restore.dismiss();
        QVERIFY(run(QStringLiteral("setxkbmap"), {QStringLiteral("us")}));
        QTRY_COMPARE(reloads(), 2);
        QVERIFY(barrier());
        QCOMPARE(flashCalls().size(), 2);
        QVERIFY(xdotool({"key", "ctrl+alt+z"}));
        QTRY_COMPARE(flashCalls().size(), 4);
    }

    void closingLetsGoOfEveryGrab() {
        shortcuts.reset();
        OtherClient other;
        QVERIFY(other.grab(keysymPeriod, mod4));
        QVERIFY(other.grab(keysymPeriod, mod4 | numLock | XCB_MOD_MASK_LOCK));
        other.ungrab(keysymPeriod, mod4);
        other.ungrab(keysymPeriod, mod4 | numLock | XCB_MOD_MASK_LOCK);
    }
};

QTEST_MAIN(ShortcutsX11Test)
#include "tst_shortcuts_x11.moc"
