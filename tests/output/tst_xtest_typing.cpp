#include "TypingTarget.h"
#include "dictation/AppLog.h"
#include "dictation/TextHelpers.h"
#include "output/KeyboardManager.h"
#include "platform/fake/RecordingSystemLog.h"
#include "platform/x11/X11Workspace.h"
#include "platform/x11/XTestKeyboardSink.h"
#include "platform/x11/XcbConnection.h"
#include "platform/x11/XkbLayoutSnapshot.h"
#include "support/TestEnvironment.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <xkbcommon/xkbcommon-x11.h>

#include <cstdlib>

namespace {

const QString ascii = QStringLiteral("The quick brown fox jumps over the lazy dog. 0123456789 "
                                     "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~");
const QString latin = QStringLiteral("Ça va? Déjà vu, naïve façade; Øresund, Straße, ÀÉÎÕÜ ñ, Łódź, Ærø, €5");
const QString greek = QStringLiteral("Καλημέρα κόσμε, ΑΒΓΔ αβγδ ω Ω");
const QString cjk = QStringLiteral("你好，世界。日本語のテキスト、한국어");
const QString emoji = QStringLiteral("👍🏿 👨‍👩‍👧‍👦 🇵🇹 ❤️ e\u0301 👋🏽");
const QString lines = QStringLiteral("one\ntwo\n\nthree\n");

// About 2,000 characters drawn from every script above, with a line break now and then.
QString longMixedText() {
    const QStringList pool = (ascii + " " + latin + " " + greek + " " + cjk + " " + emoji)
                                 .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QString text;
    int lineLength = 0;
    for (int index = 0; TextHelpers::characterCount(text) < 1990; ++index) {
        const QString& word = pool[(index * 7) % pool.size()];
        lineLength += TextHelpers::characterCount(word) + 1;
        text += word;
        text += lineLength > 70 ? QStringLiteral("\n") : QStringLiteral(" ");
        if (lineLength > 70)
            lineLength = 0;
    }
    return TextHelpers::characters(text).mid(0, 2000).join(QString());
}

// Where two texts part, for a readable failure message.
QByteArray firstDifference(const QString& actual, const QString& expected) {
    qsizetype at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    auto around = [at](const QString& text) {
        QString part = text.mid(std::max<qsizetype>(0, at - 12), 30);
        QString shown;
        for (QChar c : part)
            shown += c.unicode() < 0x20 ? QStringLiteral("<%1>").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                                        : QString(c);
        return shown;
    };
    return QStringLiteral("differs at UTF-16 index %1 of %2/%3: got \"%4\", wanted \"%5\"")
        .arg(at)
        .arg(actual.size())
        .arg(expected.size())
        .arg(around(actual), around(expected))
        .toUtf8();
}

bool runTool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(10'000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// The layout as the server has it now, read over a connection of the test's own.
std::optional<XkbLayoutSnapshot> currentLayout() {
    static XcbConnection connection;
    if (!connection.usable() ||
        !xkb_x11_setup_xkb_extension(connection.get(), XKB_X11_MIN_MAJOR_XKB_VERSION,
                                     XKB_X11_MIN_MINOR_XKB_VERSION, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS,
                                     nullptr, nullptr, nullptr, nullptr))
        return std::nullopt;
    return XkbLayoutSnapshot::read(connection.get(), nullptr);
}

// The whole keymap as text, to show that typing leaves every key as it found it.
QString currentKeymapText() {
    static XcbConnection connection;
    if (!connection.usable() ||
        !xkb_x11_setup_xkb_extension(connection.get(), XKB_X11_MIN_MAJOR_XKB_VERSION,
                                     XKB_X11_MIN_MINOR_XKB_VERSION, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS,
                                     nullptr, nullptr, nullptr, nullptr))
        return QString();
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap = xkb_x11_keymap_new_from_device(context, connection.get(),
                                                        xkb_x11_get_core_keyboard_device_id(connection.get()),
                                                        XKB_KEYMAP_COMPILE_NO_FLAGS);
    char* text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
    const QString result = text ? QString::fromUtf8(text) : QString();
    std::free(text);
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    return result;
}

} // namespace

class XTestTypingTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir stateDir;
    std::shared_ptr<RecordingSystemLog> systemLog;
    std::shared_ptr<XTestKeyboardSink> sink;
    std::shared_ptr<X11Workspace> workspace;
    std::unique_ptr<KeyboardManager> manager;

    bool needDisplay() {
        if (TestEnvironment::hasService("X11"))
            return true;
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            qFatal("the X server service is not running");
        return false;
    }

    bool logContains(const QString& part) const {
        for (const QString& line : systemLog->infos())
            if (line.contains(part))
                return true;
        return false;
    }

    bool typeInto(const QString& text, const TypingTarget& target) {
        Q_UNUSED(target);
        return QCoro::waitFor(manager->typeText(text, workspace->frontmostApplication()));
    }

    std::optional<RunningApplication> waitForFrontmost(quint64 windowId) {
        QDeadlineTimer deadline(3000);
        for (;;) {
            auto front = workspace->frontmostApplication();
            if ((front && front->windowId == windowId) || deadline.hasExpired())
                return front;
            QTest::qWait(10);
        }
    }

private Q_SLOTS:
    void initTestCase() {
        qputenv("XDG_STATE_HOME", stateDir.path().toUtf8());
        setAppLogToStandardOutput(false);
    }

    void init() {
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);
        if (!TestEnvironment::hasService("X11"))
            return;
        sink = std::make_shared<XTestKeyboardSink>();
        workspace = std::make_shared<X11Workspace>();
        manager = std::make_unique<KeyboardManager>(sink, workspace);
    }

    void cleanup() {
        manager.reset();
        sink.reset();
        workspace.reset();
        setAppSystemLog(nullptr);
    }

    void typesExactly_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("answersPings");

        QTest::newRow("us ascii") << "us" << ascii << true;
        QTest::newRow("us latin accents") << "us" << latin << true;
        QTest::newRow("us greek") << "us" << greek << true;
        QTest::newRow("us cjk") << "us" << cjk << true;
        QTest::newRow("us emoji with modifiers") << "us" << emoji << true;
        QTest::newRow("us line breaks") << "us" << lines << true;
        QTest::newRow("us carriage return as text") << "us" << QStringLiteral("a\r\nb\rc") << true;
        QTest::newRow("us window without pings") << "us" << latin + "\n" + greek + " " + cjk << false;
        QTest::newRow("us 2000 characters") << "us" << longMixedText() << true;
        QTest::newRow("de ascii") << "de" << ascii << true;
        QTest::newRow("de latin accents") << "de" << latin << true;
        QTest::newRow("de 2000 characters") << "de" << longMixedText() << true;
    }

    void typesExactly() {
        if (!needDisplay())
            QSKIP("no X server (scripts/services/x11.sh)");
        QFETCH(QString, layout);
        QFETCH(QString, text);
        QFETCH(bool, answersPings);

        QVERIFY(runTool(QStringLiteral("setxkbmap"), {layout}));
        const auto restoreLayout =
            qScopeGuard([] { runTool(QStringLiteral("setxkbmap"), {QStringLiteral("us")}); });
        const QString keymapBefore = currentKeymapText();
        QVERIFY(!keymapBefore.isEmpty());

        TypingTarget target;
        QVERIFY2(target.start({QStringLiteral("Typing target"), answersPings}), qPrintable(target.error()));
        QVERIFY(typeInto(text, target));

        const QString received = target.waitFor(text);
        QVERIFY2(received == text, firstDifference(received, text).constData());
        QCOMPARE(target.modifiedPresses(), QString());
        QVERIFY(logContains(QStringLiteral("KeyboardManager: Typed text via CGEvent for ")));
        if (!answersPings)
            QVERIFY(logContains(QStringLiteral("does not answer pings")));
        // Every borrowed keycode is empty again, and no other key changed on the way.
        QVERIFY(currentKeymapText() == keymapBefore);
    }

    void terminationSignalGivesBorrowedKeysBack() {
        if (!needDisplay())
            QSKIP("no X server (scripts/services/x11.sh)");
        TypingTarget target;
        QVERIFY2(target.start(), qPrintable(target.error()));
        const QString keymapBefore = currentKeymapText();

        QProcess borrower;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_STATE_HOME"), stateDir.path());
        borrower.setProcessEnvironment(environment);
        borrower.start(QCoreApplication::applicationDirPath() +
                       QStringLiteral("/voxlet_borrow_keys_and_wait"));
        QVERIFY(borrower.waitForStarted(5000));
        QDeadlineTimer deadline(20'000);
        while (!borrower.readAllStandardOutput().contains("borrowed") && !deadline.hasExpired())
            borrower.waitForReadyRead(50);
        QVERIFY(!deadline.hasExpired());
        QCOMPARE(target.waitFor(QStringLiteral("ωψ€")), QStringLiteral("ωψ€"));
        QVERIFY(currentKeymapText() != keymapBefore);

        borrower.terminate();
        QVERIFY(borrower.waitForFinished(5000));
        QCOMPARE(borrower.exitStatus(), QProcess::CrashExit);
        QVERIFY(currentKeymapText() == keymapBefore);
    }

    void waitsForHeldModifiers_data() {
        QTest::addColumn<QString>("key");
        QTest::newRow("super of the shortcut") << "super";
        QTest::newRow("alt of the shortcut") << "alt";
        QTest::newRow("ctrl") << "ctrl";
        QTest::newRow("shift") << "shift";
    }

    void waitsForHeldModifiers() {
        if (!needDisplay())
            QSKIP("no X server (scripts/services/x11.sh)");
        QFETCH(QString, key);
        TypingTarget target;
        QVERIFY2(target.start(), qPrintable(target.error()));

        QVERIFY(runTool(QStringLiteral("xdotool"), {QStringLiteral("keydown"), key}));
        auto release = qScopeGuard([&] {
            runTool(QStringLiteral("xdotool"), {QStringLiteral("keyup"), key});
        });
        QTimer::singleShot(500, [&] {
            release.dismiss(), runTool(QStringLiteral("xdotool"), {"keyup", key});
        });

        // Letters that are shortcuts with Ctrl, Alt or Super held, and a Return.
        const QString text = QStringLiteral("dash wqe\nline Δ");
        QVERIFY(typeInto(text, target));

        QCOMPARE(target.waitFor(text), text);
        QCOMPARE(target.modifiedPresses(), QString());
        QVERIFY(
            logContains(QStringLiteral("KeyboardManager: Waiting for held modifier keys to be released")));
        const auto front = workspace->frontmostApplication();
        QVERIFY(front);
        QCOMPARE(front->windowId, target.windowId());
    }

    void refusesWhileModifierStaysHeld() {
        if (!needDisplay())
            QSKIP("no X server (scripts/services/x11.sh)");
        TypingTarget target;
        QVERIFY2(target.start(), qPrintable(target.error()));
        QVERIFY(runTool(QStringLiteral("xdotool"), {QStringLiteral("keydown"), QStringLiteral("ctrl")}));
        const auto release = qScopeGuard([] { runTool(QStringLiteral("xdotool"), {"keyup", "ctrl"}); });

        QVERIFY(!typeInto(QStringLiteral("select all"), target));
        QVERIFY(logContains(QStringLiteral("not typed for")));
        QVERIFY(!logContains(QStringLiteral("Typed text via")));
        QTest::qWait(100);
        QCOMPARE(target.received(), QString());
    }

    void typesWithCapsLockOnAndRestoresIt() {
        if (!needDisplay())
            QSKIP("no X server (scripts/services/x11.sh)");
        TypingTarget target;
        QVERIFY2(target.start(), qPrintable(target.error()));
        QVERIFY(runTool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Caps_Lock")}));
        const auto unlock = qScopeGuard([] {
            if (const auto layout = currentLayout(); layout && layout->capsLockOn())
                runTool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Caps_Lock")});
        });
        QVERIFY(currentLayout()->capsLockOn());

        const QString text = QStringLiteral("Hello World, Ça Δδ");
        QVERIFY(typeInto(text, target));
        QCOMPARE(target.waitFor(text), text);
        QVERIFY(currentLayout()->capsLockOn());
    }

    void describesTheFrontmostWindow() {
        if (!needDisplay())
            QSKIP("no X server (scripts/services/x11.sh)");
        TypingTarget target;
        QVERIFY2(target.start({QStringLiteral("Notes – draft ✎"), true}), qPrintable(target.error()));

        const auto front = waitForFrontmost(target.windowId());
        QVERIFY(front);
        QCOMPARE(front->windowId, target.windowId());
        QCOMPARE(front->processIdentifier, target.processId());
        QCOMPARE(front->localizedName, QStringLiteral("voxlet_typing_target"));
        QCOMPARE(front->title, QStringLiteral("Notes – draft ✎"));

        QVERIFY(QCoro::waitFor(manager->typeText(QStringLiteral("x"), front)));
        QVERIFY(
            logContains(QStringLiteral("KeyboardManager: Typed text via CGEvent for voxlet_typing_target")));
    }

    void reactivatesThePreviousWindow() {
        if (!needDisplay())
            QSKIP("no X server (scripts/services/x11.sh)");
        TypingTarget first;
        QVERIFY2(first.start({QStringLiteral("First"), true}), qPrintable(first.error()));
        const auto previous = waitForFrontmost(first.windowId());
        QVERIFY(previous && previous->windowId == first.windowId());

        TypingTarget second;
        QVERIFY2(second.start({QStringLiteral("Second"), true}), qPrintable(second.error()));
        QCOMPARE(waitForFrontmost(second.windowId())->windowId, second.windowId());

        QCoro::waitFor(manager->bringTargetForward(previous));
        QVERIFY(logContains(QStringLiteral("AppState: Re-activating previous application")));
        QCOMPARE(waitForFrontmost(first.windowId())->windowId, first.windowId());

        // And the text goes there.
        QVERIFY(QCoro::waitFor(manager->typeText(QStringLiteral("back again"), previous)));
        QCOMPARE(first.waitFor(QStringLiteral("back again")), QStringLiteral("back again"));
        QCOMPARE(second.received(), QString());
    }

    void activatingAGoneWindowFails() {
        if (!needDisplay())
            QSKIP("no X server (scripts/services/x11.sh)");
        std::optional<RunningApplication> gone;
        {
            TypingTarget target;
            QVERIFY2(target.start(), qPrintable(target.error()));
            gone = waitForFrontmost(target.windowId());
        }
        QVERIFY(gone);
        QTest::qWait(50);
        QVERIFY(!workspace->activate(*gone));
        QVERIFY(logContains(QStringLiteral("is gone")));
    }

    void explainsWhyTypingCannotWork_data() {
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QByteArray>("waylandDisplay");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no display") << QByteArray() << QByteArray() << "No X display";
        QTest::newRow("wayland without xwayland")
            << QByteArray() << QByteArray("wayland-0") << "Wayland session";
        QTest::newRow("unreachable display")
            << QByteArray(":987") << QByteArray() << "Cannot connect to the X display";
    }

    void explainsWhyTypingCannotWork() {
        QFETCH(QByteArray, display);
        QFETCH(QByteArray, waylandDisplay);
        QFETCH(QString, reason);
        const QByteArray savedDisplay = qgetenv("DISPLAY");
        const QByteArray savedWayland = qgetenv("WAYLAND_DISPLAY");
        const auto restore = qScopeGuard([&] {
            qputenv("DISPLAY", savedDisplay);
            qputenv("WAYLAND_DISPLAY", savedWayland);
            if (savedWayland.isEmpty())
                qunsetenv("WAYLAND_DISPLAY");
        });
        qputenv("DISPLAY", display);
        qputenv("WAYLAND_DISPLAY", waylandDisplay);
        if (waylandDisplay.isEmpty())
            qunsetenv("WAYLAND_DISPLAY");

        auto unavailableSink = std::make_shared<XTestKeyboardSink>();
        auto noWorkspace = std::make_shared<X11Workspace>();
        QVERIFY(unavailableSink->unavailableReason());
        QVERIFY2(unavailableSink->unavailableReason()->contains(reason),
                 qPrintable(*unavailableSink->unavailableReason()));
        QCOMPARE(noWorkspace->frontmostApplication(), std::nullopt);

        KeyboardManager unavailableManager(unavailableSink, noWorkspace);
        QVERIFY(!QCoro::waitFor(unavailableManager.typeText(QStringLiteral("words"), std::nullopt)));
        QVERIFY(logContains(QStringLiteral("KeyboardManager: Text not typed for unknown: ") +
                            *unavailableSink->unavailableReason()));
        QVERIFY(!logContains(QStringLiteral("Typed text via")));
    }

    void keysymsForBorrowedKeys_data() {
        QTest::addColumn<uint>("codePoint");
        QTest::addColumn<uint>("keysym");
        QTest::newRow("ascii") << 0x41u << 0x41u;
        QTest::newRow("latin-1") << 0xe9u << 0xe9u;
        QTest::newRow("no-break space") << 0xa0u << 0xa0u;
        QTest::newRow("carriage return") << 0x0du << 0x0100000du;
        QTest::newRow("delete control") << 0x7fu << 0x0100007fu;
        QTest::newRow("c1 control") << 0x85u << 0x01000085u;
        QTest::newRow("greek") << 0x3b1u << 0x010003b1u;
        QTest::newRow("emoji") << 0x1f44du << 0x0101f44du;
        QTest::newRow("lone surrogate") << 0xd800u << 0u;
    }

    void keysymsForBorrowedKeys() {
        QFETCH(uint, codePoint);
        QFETCH(uint, keysym);
        QCOMPARE(uint(XTestKeyboardSink::keysymFor(codePoint)), keysym);
    }
};

QTEST_GUILESS_MAIN(XTestTypingTest)
#include "tst_xtest_typing.moc"
