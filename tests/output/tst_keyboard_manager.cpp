#include "dictation/AppLog.h"
#include "output/KeyboardManager.h"
#include "platform/fake/FakeWorkspace.h"
#include "platform/fake/ManualScheduler.h"
#include "platform/fake/RecordingKeyboardSink.h"
#include "platform/fake/RecordingSystemLog.h"

#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using Event = RecordingKeyboardSink::Event;
using Kind = RecordingKeyboardSink::Event::Kind;

Q_DECLARE_METATYPE(std::optional<RunningApplication>)

namespace {

// Events written compactly for tables: "T:<text>" a text event, "D"/"U" Return down/up.
QStringList describe(const QList<Event>& events) {
    QStringList result;
    for (const Event& event : events) {
        switch (event.kind) {
        case Kind::text:
            result.append(QStringLiteral("T:") + event.text);
            break;
        case Kind::returnDown:
            result.append(QStringLiteral("D"));
            break;
        case Kind::returnUp:
            result.append(QStringLiteral("U"));
            break;
        case Kind::begin:
            result.append(QStringLiteral("begin"));
            break;
        case Kind::end:
            result.append(QStringLiteral("end"));
            break;
        }
    }
    return result;
}

const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466");
const QString thumbsUpDark = QStringLiteral("\U0001F44D\U0001F3FF");
const QString eAcute = QStringLiteral("e\u0301");

RunningApplication editor() {
    return RunningApplication{0x2a00007, 4242, QStringLiteral("Kate"), QStringLiteral("notes.txt - Kate")};
}

} // namespace

class KeyboardManagerTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir stateDir;
    std::shared_ptr<RecordingSystemLog> systemLog;
    std::unique_ptr<ManualScheduler> scheduler;
    std::shared_ptr<RecordingKeyboardSink> sink;
    std::shared_ptr<FakeWorkspace> workspace;
    std::unique_ptr<KeyboardManager> manager;

    QStringList keyboardLines() const {
        return systemLog->infos().filter(QRegularExpression(QStringLiteral("^(KeyboardManager|AppState): ")));
    }

    // Runs the scheduler until `task` has finished (the only waits are the manager's own pauses).
    template <typename T> void finish(QCoro::Task<T>& task) {
        for (int step = 0; step < 10'000 && !task.isReady(); ++step)
            if (!scheduler->advanceToNext())
                break;
        QVERIFY2(task.isReady(), "the typing task did not finish");
    }

private Q_SLOTS:
    void initTestCase() {
        qputenv("XDG_STATE_HOME", stateDir.path().toUtf8());
        setAppLogToStandardOutput(false);
    }

    void init() {
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);
        scheduler = std::make_unique<ManualScheduler>();
        sink = std::make_shared<RecordingKeyboardSink>(*scheduler);
        workspace = std::make_shared<FakeWorkspace>(*scheduler);
        manager = std::make_unique<KeyboardManager>(sink, workspace, *scheduler);
    }

    void cleanup() {
        manager.reset();
        setAppSystemLog(nullptr);
    }

    void splitsTextIntoEvents_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");

        const QString x23 = QString(23, QLatin1Char('x'));
        const QString a24 = QString(24, QLatin1Char('a'));
        QTest::newRow("one short line is one event") << QStringLiteral("Hello") << QStringList{"T:Hello"};
        QTest::newRow("50 characters give 24, 24, 2")
            << QString(24, 'a') + QString(24, 'b') + QStringLiteral("cc")
            << QStringList{"T:" + QString(24, 'a'), "T:" + QString(24, 'b'), "T:cc"};
        QTest::newRow("exactly 24 characters are one event") << a24 << QStringList{"T:" + a24};
        QTest::newRow("empty lines between give Return pairs")
            << QStringLiteral("a\n\nb") << QStringList{"T:a", "D", "U", "D", "U", "T:b"};
        QTest::newRow("trailing line feed ends with a Return pair")
            << QStringLiteral("ab\n") << QStringList{"T:ab", "D", "U"};
        QTest::newRow("leading line feed") << QStringLiteral("\nab") << QStringList{"D", "U", "T:ab"};
        QTest::newRow("empty text posts nothing") << QString() << QStringList{};
        QTest::newRow("only a line feed") << QStringLiteral("\n") << QStringList{"D", "U"};
        QTest::newRow("family emoji as 24th character travels whole")
            << x23 + family + QStringLiteral("yz") << QStringList{"T:" + x23 + family, "T:yz"};
        QTest::newRow("emoji with skin tone straddling the boundary")
            << x23 + QStringLiteral("x") + thumbsUpDark << QStringList{"T:" + x23 + "x", "T:" + thumbsUpDark};
        QTest::newRow("combining marks count once")
            << eAcute.repeated(25) << QStringList{"T:" + eAcute.repeated(24), "T:" + eAcute};
        QTest::newRow("carriage return is text, not a line break")
            << QStringLiteral("a\r\nb\rc") << QStringList{"T:a\r", "D", "U", "T:b\rc"};
        QTest::newRow("chunks restart on every line")
            << QString(30, 'a') + "\n" + QString(30, 'b')
            << QStringList{"T:" + QString(24, 'a'), "T:" + QString(6, 'a'), "D", "U",
                           "T:" + QString(24, 'b'), "T:" + QString(6, 'b')};
    }

    void splitsTextIntoEvents() {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);

        auto task = manager->typeText(text, editor());
        finish(task);

        QCOMPARE(describe(sink->keyEvents()), expected);
        QVERIFY(task.isReady());
        QCOMPARE(QCoro::waitFor(task), true);
        QCOMPARE(keyboardLines(), QStringList{"KeyboardManager: Typed text via CGEvent for Kate"});
        // The typed events put back together are the text itself.
        QString typed;
        for (const Event& event : sink->keyEvents())
            typed += event.kind == Kind::text ? event.text : event.kind == Kind::returnDown ? "\n" : "";
        QCOMPARE(typed, text);
    }

    void pausesAfterEachReturnPair() {
        const auto start = scheduler->now();
        auto task = manager->typeText(QStringLiteral("a\n\nb\n"), std::nullopt);
        // The first pause suspends the call: nothing after it has been posted yet.
        QCOMPARE(describe(sink->keyEvents()), (QStringList{"T:a", "D", "U"}));
        QVERIFY(!task.isReady());
        finish(task);

        QList<qint64> offsets;
        for (const Event& event : sink->keyEvents())
            offsets.append(std::chrono::duration_cast<std::chrono::milliseconds>(event.at - start).count());
        QCOMPARE(describe(sink->keyEvents()), (QStringList{"T:a", "D", "U", "D", "U", "T:b", "D", "U"}));
        QCOMPARE(offsets, (QList<qint64>{0, 0, 0, 2, 2, 4, 4, 4}));
        QCOMPARE(sink->events.last().kind, Kind::end);
        QCOMPARE(scheduler->now() - start, 6ms);
    }

    void namesTheApplicationInTheLog_data() {
        QTest::addColumn<std::optional<RunningApplication>>("target");
        QTest::addColumn<QString>("line");
        QTest::newRow("named target")
            << std::optional(editor()) << QStringLiteral("KeyboardManager: Typed text via CGEvent for Kate");
        QTest::newRow("no target") << std::optional<RunningApplication>()
                                   << QStringLiteral("KeyboardManager: Typed text via CGEvent for unknown");
        QTest::newRow("target without a name")
            << std::optional(RunningApplication{0x400001, 0, QString(), QStringLiteral("untitled")})
            << QStringLiteral("KeyboardManager: Typed text via CGEvent for unknown");
    }

    void namesTheApplicationInTheLog() {
        QFETCH(std::optional<RunningApplication>, target);
        QFETCH(QString, line);
        auto task = manager->typeText(QStringLiteral("hi"), target);
        finish(task);
        QCOMPARE(keyboardLines(), QStringList{line});
    }

    void unavailableTypingIsReportedNotClaimed() {
        sink->unavailable = QStringLiteral("No X display: typing needs an X11 session");
        QCOMPARE(manager->unavailableReason(), sink->unavailable);
        manager->checkTypingAccess();

        auto task = manager->typeText(QStringLiteral("lost words"), editor());
        finish(task);

        QCOMPARE(QCoro::waitFor(task), false);
        QVERIFY(sink->events.isEmpty());
        QCOMPARE(keyboardLines(),
                 (QStringList{
                     "KeyboardManager: Typing unavailable: No X display: typing needs an X11 session",
                     "KeyboardManager: Text not typed for Kate: No X display: typing needs an X11 session"}));
    }

    void refusedStartTypesNothing() {
        sink->startFailure = QStringLiteral("modifier keys still held after 2000 ms");
        auto task = manager->typeText(QStringLiteral("x"), std::nullopt);
        finish(task);
        QCOMPARE(QCoro::waitFor(task), false);
        QVERIFY(sink->events.isEmpty());
        QCOMPARE(keyboardLines(),
                 QStringList{
                     "KeyboardManager: Text not typed for unknown: modifier keys still held after 2000 ms"});

        // The refusal released the manager: the next call types.
        sink->startFailure.reset();
        auto next = manager->typeText(QStringLiteral("y"), std::nullopt);
        finish(next);
        QCOMPARE(sink->texts(), QStringList{"y"});
    }

    void lostChunkSkipsOnlyItself() {
        sink->failingTextEvents = {1};
        auto task = manager->typeText(QString(24, 'a') + QString(24, 'b') + QStringLiteral("cc"), editor());
        finish(task);

        QCOMPARE(QCoro::waitFor(task), false);
        QCOMPARE(sink->texts(), (QStringList{QString(24, 'a'), QStringLiteral("cc")}));
        QCOMPARE(sink->events.last().kind, Kind::end);
        QCOMPARE(keyboardLines(),
                 (QStringList{"KeyboardManager: Typed text via CGEvent for Kate",
                              "KeyboardManager: Some of the text for Kate could not be typed"}));
    }

    void overlappingCallsTypeOneAfterTheOther() {
        // Each event takes a moment, so the first call is still typing when the second starts.
        sink->eventDelay = 1ms;
        auto first = manager->typeText(QStringLiteral("first\nline"), editor());
        auto second = manager->typeText(QStringLiteral("second"), std::nullopt);
        finish(first);
        finish(second);

        QCOMPARE(describe(sink->events),
                 (QStringList{"begin", "T:first", "D", "U", "T:line", "end", "begin", "T:second", "end"}));
        QCOMPARE(keyboardLines(), (QStringList{"KeyboardManager: Typed text via CGEvent for Kate",
                                               "KeyboardManager: Typed text via CGEvent for unknown"}));
    }

    void bringsTargetForward_data() {
        QTest::addColumn<bool>("hasTarget");
        QTest::addColumn<bool>("activationSucceeds");
        QTest::newRow("target known") << true << true;
        QTest::newRow("activation refused") << true << false;
        QTest::newRow("no target") << false << true;
    }

    void bringsTargetForward() {
        QFETCH(bool, hasTarget);
        QFETCH(bool, activationSucceeds);
        workspace->activationSucceeds = activationSucceeds;
        workspace->frontmost = RunningApplication{0x500001, 77, QStringLiteral("Voxlet"), QString()};
        const auto start = scheduler->now();

        auto task = manager->bringTargetForward(hasTarget ? std::optional(editor()) : std::nullopt);
        scheduler->advance(49ms);
        QVERIFY(workspace->activations.isEmpty());
        QVERIFY(keyboardLines().isEmpty());
        scheduler->advance(1ms);
        // The step suspends the task, it does not block: nothing else ran while it waited.
        QCOMPARE(workspace->activations.size(), hasTarget ? 1 : 0);
        QCOMPARE(keyboardLines(),
                 hasTarget ? QStringList{"AppState: Re-activating previous application"} : QStringList{});
        if (hasTarget) {
            QCOMPARE(workspace->activations.first().application, editor());
            QCOMPARE(workspace->activations.first().at - start, 50ms);
        }
        scheduler->advance(99ms);
        QVERIFY(!task.isReady());
        scheduler->advance(1ms);
        QVERIFY(task.isReady());
        QCOMPARE(workspace->frontmost->localizedName,
                 hasTarget && activationSucceeds ? QStringLiteral("Kate") : QStringLiteral("Voxlet"));
    }

    void capturesTheFrontmostApplication() {
        workspace->frontmost = editor();
        QCOMPARE(manager->frontmostApplication(), std::optional(editor()));
        workspace->frontmost.reset();
        QCOMPARE(manager->frontmostApplication(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(KeyboardManagerTest)
#include "tst_keyboard_manager.moc"
