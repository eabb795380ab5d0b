#include "platform/fake/ManualScheduler.h"

#include <algorithm>

ManualScheduler::ManualScheduler()
    : current(std::chrono::steady_clock::time_point() + std::chrono::hours(1))
    , wallOrigin(QDateTime(QDate(2026, 1, 31), QTime(9, 0), Qt::UTC))
    , wallOriginSteady(current) {}

void ManualScheduler::schedule(Duration delay, QObject* context, std::function<void()> action) {
    tasks.push_back(Task{current + std::max(delay, Duration(0)), nextOrder++, context != nullptr,
                         QPointer<QObject>(context), std::move(action)});
}

QDateTime ManualScheduler::currentDateTime() const {
    return wallOrigin.addMSecs(
        std::chrono::duration_cast<std::chrono::milliseconds>(current - wallOriginSteady).count());
}

void ManualScheduler::setCurrentDateTime(const QDateTime& dateTime) {
    wallOrigin = dateTime.toUTC();
    wallOriginSteady = current;
}

std::optional<Scheduler::Duration> ManualScheduler::nextDelay() const {
    if (tasks.empty())
        return std::nullopt;
    const auto next = std::min_element(tasks.begin(), tasks.end(),
                                       [](const Task& a, const Task& b) { return a.due < b.due; });
    return std::chrono::duration_cast<Duration>(next->due - current);
}

void ManualScheduler::advance(Duration step) {
    const TimePoint target = current + step;
    for (;;) {
        auto next = std::min_element(tasks.begin(), tasks.end(), [](const Task& a, const Task& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
        if (next == tasks.end() || next->due > target)
            break;
        Task task = std::move(*next);
        tasks.erase(next);
        current = std::max(current, task.due);
        if (task.hasContext && !task.context)
            continue;
        task.action();
    }
    current = target;
}

bool ManualScheduler::advanceToNext() {
    const auto delay = nextDelay();
    if (!delay)
        return false;
    advance(std::max(*delay, Duration(0)));
    return true;
}
