#include "output/KeyboardManager.h"

#include "dictation/AppLog.h"
#include "dictation/TextHelpers.h"

#include <QStringList>

#include <utility>

struct KeyboardManager::TurnAwaitable {
    KeyboardManager& manager;
    bool await_ready() const noexcept {
        if (manager.typing)
            return false;
        manager.typing = true;
        return true;
    }
    void await_suspend(std::coroutine_handle<> handle) const { manager.waitingForTurn.push_back(handle); }
    void await_resume() const noexcept {}
};

KeyboardManager::KeyboardManager(std::shared_ptr<KeyboardSink> keyboardSink,
                                 std::shared_ptr<Workspace> desktopWorkspace, Scheduler& eventScheduler)
    : sink(std::move(keyboardSink))
    , workspace(std::move(desktopWorkspace))
    , scheduler(eventScheduler) {}

KeyboardManager::TurnAwaitable KeyboardManager::turn() {
    return TurnAwaitable{*this};
}

void KeyboardManager::releaseTurn() {
    if (waitingForTurn.empty()) {
        typing = false;
        return;
    }
    // The turn passes straight to the next caller; it resumes from the event loop rather than
    // inside the frame of the call that is just ending.
    const std::coroutine_handle<> next = waitingForTurn.front();
    waitingForTurn.pop_front();
    scheduler.schedule(Scheduler::Duration(0), nullptr, [next] { next.resume(); });
}

QCoro::Task<bool> KeyboardManager::typeText(QString text, std::optional<RunningApplication> target) {
    const QString applicationName =
        target && !target->localizedName.isEmpty() ? target->localizedName : QStringLiteral("unknown");

    co_await turn();

    const KeyboardSink::Start start = co_await sink->beginTyping();
    if (!start.ready) {
        appLog(
            QStringLiteral("KeyboardManager: Text not typed for %1: %2").arg(applicationName, start.failure));
        releaseTurn();
        co_return false;
    }

    const bool complete = co_await typeLines(text);
    co_await sink->endTyping();

    appLog(QStringLiteral("KeyboardManager: Typed text via CGEvent for ") + applicationName);
    if (!complete)
        appLog(QStringLiteral("KeyboardManager: Some of the text for %1 could not be typed")
                   .arg(applicationName));
    releaseTurn();
    co_return complete;
}

QCoro::Task<bool> KeyboardManager::typeLines(const QString& text) {
    bool complete = true;
    // An empty text is one empty line; a trailing line feed leaves an empty last line, so it ends
    // with a Return press and no empty text event.
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype index = 0; index < lines.size(); ++index) {
        QString chunk;
        int count = 0;
        for (const QString& character : TextHelpers::characters(lines[index])) {
            chunk += character;
            if (++count == chunkCharacterCount) {
                complete = co_await sink->postText(std::exchange(chunk, QString())) && complete;
                count = 0;
            }
        }
        if (!chunk.isEmpty())
            complete = co_await sink->postText(chunk) && complete;

        if (index + 1 < lines.size()) {
            complete = co_await sink->postReturnKey(true) && complete;
            complete = co_await sink->postReturnKey(false) && complete;
            co_await scheduler.sleep(returnKeyPause);
        }
    }
    co_return complete;
}

QCoro::Task<> KeyboardManager::bringTargetForward(std::optional<RunningApplication> target) {
    co_await scheduler.sleep(activationLeadIn);
    if (target) {
        appLog(QStringLiteral("AppState: Re-activating previous application"));
        workspace->activate(*target);
    }
    co_await scheduler.sleep(activationSettle);
}

std::optional<RunningApplication> KeyboardManager::frontmostApplication() const {
    return workspace->frontmostApplication();
}

std::optional<QString> KeyboardManager::unavailableReason() const {
    return sink->unavailableReason();
}

void KeyboardManager::checkTypingAccess() const {
    if (const auto reason = sink->unavailableReason())
        appLog(QStringLiteral("KeyboardManager: Typing unavailable: ") + *reason);
    else
        appLog(QStringLiteral("KeyboardManager: Synthetic keyboard input available"));
}
