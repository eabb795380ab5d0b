#include "platform/QtScheduler.h"

#include <QPointer>
#include <QTimer>

void QtScheduler::schedule(Duration delay, QObject* context, std::function<void()> action) {
    if (context) {
        QTimer::singleShot(delay, Qt::PreciseTimer, context, std::move(action));
        return;
    }
    QTimer::singleShot(delay, Qt::PreciseTimer, std::move(action));
}

Scheduler::TimePoint QtScheduler::now() const {
    return std::chrono::steady_clock::now();
}

QDateTime QtScheduler::currentDateTime() const {
    return QDateTime::currentDateTimeUtc();
}
