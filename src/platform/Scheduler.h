#pragma once

#include <QDateTime>
#include <QObject>

#include <chrono>
#include <coroutine>
#include <functional>

// Timers and clocks behind one port, so that the program's waits (retry pauses, display times, the
// final-commit waits, the update interval) run on the event loop in the program and on a manual clock
// in tests, which never sleep.
class Scheduler {
public:
    using Duration = std::chrono::milliseconds;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Scheduler() = default;

    // Runs `action` on the GUI thread after `delay`, unless `context` (when given) is destroyed first.
    virtual void schedule(Duration delay, QObject* context, std::function<void()> action) = 0;
    // Monotonic time, for durations.
    virtual TimePoint now() const = 0;
    // Wall-clock time (UTC), for times that are stored.
    virtual QDateTime currentDateTime() const = 0;

    // The event-loop scheduler the program uses unless it is given another.
    static Scheduler& shared();

    // co_await scheduler.sleep(delay): resumes the coroutine after `delay`, on the GUI thread.
    struct SleepAwaitable {
        Scheduler& scheduler;
        Duration delay;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) const {
            scheduler.schedule(delay, nullptr, [handle] { handle.resume(); });
        }
        void await_resume() const noexcept {}
    };
    SleepAwaitable sleep(Duration delay) { return SleepAwaitable{*this, delay}; }

    // Whole milliseconds since `start`.
    qint64 millisecondsSince(TimePoint start) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now() - start).count();
    }
    double secondsSince(TimePoint start) const {
        return std::chrono::duration<double>(now() - start).count();
    }
};
