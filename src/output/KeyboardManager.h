#pragma once

#include "platform/KeyboardSink.h"
#include "platform/Scheduler.h"
#include "platform/Workspace.h"

#include <QString>

#include <qcorotask.h>

#include <coroutine>
#include <deque>
#include <memory>
#include <optional>

// Types dictated text into the frontmost application through the keyboard sink, and brings a
// dictation's target application back to the front before typing.
//
// Typing calls are serialised: a call that starts while another is still typing waits for it, so
// the events of two texts never interleave. The manager must outlive the calls it starts.
class KeyboardManager {
public:
    // Characters (grapheme clusters) carried by one text event.
    static constexpr int chunkCharacterCount = 24;
    static constexpr Scheduler::Duration returnKeyPause{2};
    static constexpr Scheduler::Duration activationLeadIn{50};
    static constexpr Scheduler::Duration activationSettle{100};

    KeyboardManager(std::shared_ptr<KeyboardSink> sink, std::shared_ptr<Workspace> workspace,
                    Scheduler& scheduler = Scheduler::shared());
    KeyboardManager(const KeyboardManager&) = delete;
    KeyboardManager& operator=(const KeyboardManager&) = delete;

    // Types `text`: lines split at line feeds, each line in text events of up to 24 characters, a
    // Return press and a short pause between lines. `target` only names the application in the log;
    // the events go to whichever window has the focus. True when every event was posted; false when
    // typing was impossible (then nothing is typed and the log says why) or some text was lost.
    QCoro::Task<bool> typeText(QString text, std::optional<RunningApplication> target);

    // The activation step before typing into an application that may have lost the front: a short
    // wait, re-activation of `target` when there is one, and a wait for the window to take the focus.
    QCoro::Task<> bringTargetForward(std::optional<RunningApplication> target);

    // The application in front now, as captured when a dictation starts.
    std::optional<RunningApplication> frontmostApplication() const;

    // Why synthetic typing cannot work on this desktop, or nothing when it can. Views show it.
    std::optional<QString> unavailableReason() const;
    // Logs once, at launch, whether typing can work here.
    void checkTypingAccess() const;

private:
    struct TurnAwaitable;
    TurnAwaitable turn();
    void releaseTurn();
    QCoro::Task<bool> typeLines(const QString& text);

    std::shared_ptr<KeyboardSink> sink;
    std::shared_ptr<Workspace> workspace;
    Scheduler& scheduler;
    bool typing = false;
    std::deque<std::coroutine_handle<>> waitingForTurn;
};
