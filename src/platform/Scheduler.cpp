#include "platform/Scheduler.h"

#include "platform/QtScheduler.h"

Scheduler& Scheduler::shared() {
    static QtScheduler instance;
    return instance;
}
