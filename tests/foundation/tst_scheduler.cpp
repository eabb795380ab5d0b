#include "platform/QtScheduler.h"
#include "platform/fake/ManualScheduler.h"

#include <QCoroTask>
#include <QTest>

using namespace std::chrono_literals;

namespace {

QCoro::Task<> sleepThenMark(Scheduler& scheduler, QStringList& marks, QString name,
                            Scheduler::Duration delay) {
    co_await scheduler.sleep(delay);
    marks << name;
}

} // namespace

class SchedulerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void manualRunsInDueOrderWithTheClockAtEachDueTime() {
        ManualScheduler scheduler;
        const auto start = scheduler.now();
        QStringList marks;
        QList<qint64> at;
        scheduler.schedule(300ms, nullptr, [&] {
            marks << "c";
            at << scheduler.millisecondsSince(start);
        });
        scheduler.schedule(100ms, nullptr, [&] {
            marks << "a";
            at << scheduler.millisecondsSince(start);
            scheduler.schedule(50ms, nullptr, [&] {
                marks << "b";
                at << scheduler.millisecondsSince(start);
            });
        });
        scheduler.schedule(300ms, nullptr, [&] { marks << "d"; });
        scheduler.advance(299ms);
        QCOMPARE(marks, (QStringList{"a", "b"}));
        QCOMPARE(at, (QList<qint64>{100, 150}));
        scheduler.advance(1ms);
        QCOMPARE(marks, (QStringList{"a", "b", "c", "d"}));
        QCOMPARE(scheduler.pendingCount(), std::size_t(0));
    }

    void manualSkipsActionsWhoseContextIsGone() {
        ManualScheduler scheduler;
        bool ran = false;
        auto* context = new QObject;
        scheduler.schedule(10ms, context, [&] { ran = true; });
        delete context;
        scheduler.advance(1s);
        QVERIFY(!ran);
    }

    void manualSleepResumesCoroutines() {
        ManualScheduler scheduler;
        QStringList marks;
        auto slow = sleepThenMark(scheduler, marks, QStringLiteral("slow"), 900ms);
        auto fast = sleepThenMark(scheduler, marks, QStringLiteral("fast"), 100ms);
        QVERIFY(marks.isEmpty());
        QVERIFY(scheduler.advanceToNext());
        QCOMPARE(marks, QStringList{"fast"});
        scheduler.advance(800ms);
        QCOMPARE(marks, (QStringList{"fast", "slow"}));
        const QDateTime wall = scheduler.currentDateTime();
        scheduler.advance(10h);
        QCOMPARE(wall.secsTo(scheduler.currentDateTime()), 36000);
    }

    void qtSchedulerRunsOnTheEventLoop() {
        QtScheduler scheduler;
        QStringList marks;
        auto task = sleepThenMark(scheduler, marks, QStringLiteral("woke"), 20ms);
        QTRY_COMPARE(marks, QStringList{"woke"});
    }
};

QTEST_GUILESS_MAIN(SchedulerTest)
#include "tst_scheduler.moc"
