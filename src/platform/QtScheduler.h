#pragma once

#include "platform/Scheduler.h"

// Scheduler on the Qt event loop of the calling thread.
class QtScheduler final : public Scheduler {
public:
    void schedule(Duration delay, QObject* context, std::function<void()> action) override;
    TimePoint now() const override;
    QDateTime currentDateTime() const override;
};
