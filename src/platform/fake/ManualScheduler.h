#pragma once

#include "platform/Scheduler.h"

#include <QPointer>

#include <optional>

#include <vector>

// A scheduler whose clock moves only when the test says so. Due actions run inside advance(), in
// order of due time (then of scheduling), with the clock set to each one's due time.
class ManualScheduler final : public Scheduler {
public:
    ManualScheduler();

    void schedule(Duration delay, QObject* context, std::function<void()> action) override;
    TimePoint now() const override { return current; }
    QDateTime currentDateTime() const override;

    void advance(Duration step);
    // Runs what is due now (zero delays) without moving the clock.
    void runDue() { advance(Duration(0)); }
    void setCurrentDateTime(const QDateTime& dateTime);
    std::size_t pendingCount() const { return tasks.size(); }
    // Delay until the next pending action, if any.
    std::optional<Duration> nextDelay() const;
    // Moves the clock to the next pending action and runs it (and whatever else is due then).
    bool advanceToNext();

private:
    struct Task {
        TimePoint due;
        quint64 order;
        bool hasContext;
        QPointer<QObject> context;
        std::function<void()> action;
    };

    TimePoint current;
    QDateTime wallOrigin;
    TimePoint wallOriginSteady;
    quint64 nextOrder = 0;
    std::vector<Task> tasks;
};
