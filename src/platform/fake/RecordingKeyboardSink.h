#pragma once

#include "platform/KeyboardSink.h"
#include "platform/Scheduler.h"

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

// Keeps every keyboard event it is given, with the scheduler's time, for logic tests.
class RecordingKeyboardSink final : public KeyboardSink {
public:
    struct Event {
        enum class Kind { begin, text, returnDown, returnUp, end };
        Kind kind;
        QString text;
        Scheduler::TimePoint at;
        friend bool operator==(const Event& a, const Event& b) {
            return a.kind == b.kind && a.text == b.text;
        }
    };

    explicit RecordingKeyboardSink(Scheduler& scheduler);

    std::optional<QString> unavailableReason() const override { return unavailable; }
    QCoro::Task<Start> beginTyping() override;
    QCoro::Task<bool> postText(QString text) override;
    QCoro::Task<bool> postReturnKey(bool keyDown) override;
    QCoro::Task<> endTyping() override;

    QList<Event> events;

    // Makes the sink report that typing cannot work here (beginTyping then refuses with it).
    std::optional<QString> unavailable;
    // Makes beginTyping refuse one call after another with this reason.
    std::optional<QString> startFailure;
    // Text events (counted from 0 over the sink's life) that report a failure.
    QSet<int> failingTextEvents;
    // Makes beginTyping and each text event wait this long first, as a real desktop may.
    Scheduler::Duration eventDelay{0};

    // Only the text and Return events, without begin and end.
    QList<Event> keyEvents() const;
    // The texts of the text events.
    QStringList texts() const;

private:
    void record(Event::Kind kind, const QString& text = QString());

    Scheduler& scheduler;
    int textEventCount = 0;
};
