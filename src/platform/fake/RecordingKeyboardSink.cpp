#include "platform/fake/RecordingKeyboardSink.h"

#include <QStringList>

RecordingKeyboardSink::RecordingKeyboardSink(Scheduler& eventScheduler)
    : scheduler(eventScheduler) {}

void RecordingKeyboardSink::record(Event::Kind kind, const QString& text) {
    events.append(Event{kind, text, scheduler.now()});
}

QCoro::Task<KeyboardSink::Start> RecordingKeyboardSink::beginTyping() {
    if (eventDelay.count() > 0)
        co_await scheduler.sleep(eventDelay);
    if (unavailable)
        co_return Start{false, *unavailable};
    if (startFailure)
        co_return Start{false, *startFailure};
    record(Event::Kind::begin);
    co_return Start{};
}

QCoro::Task<bool> RecordingKeyboardSink::postText(QString text) {
    if (eventDelay.count() > 0)
        co_await scheduler.sleep(eventDelay);
    const int index = textEventCount++;
    if (failingTextEvents.contains(index))
        co_return false;
    record(Event::Kind::text, text);
    co_return true;
}

QCoro::Task<bool> RecordingKeyboardSink::postReturnKey(bool keyDown) {
    record(keyDown ? Event::Kind::returnDown : Event::Kind::returnUp);
    co_return true;
}

QCoro::Task<> RecordingKeyboardSink::endTyping() {
    record(Event::Kind::end);
    co_return;
}

QList<RecordingKeyboardSink::Event> RecordingKeyboardSink::keyEvents() const {
    QList<Event> keys;
    for (const Event& event : events)
        if (event.kind != Event::Kind::begin && event.kind != Event::Kind::end)
            keys.append(event);
    return keys;
}

QStringList RecordingKeyboardSink::texts() const {
    QStringList result;
    for (const Event& event : events)
        if (event.kind == Event::Kind::text)
            result.append(event.text);
    return result;
}
