#include "app/runner/CollectingKeyboardSink.h"

QCoro::Task<KeyboardSink::Start> CollectingKeyboardSink::beginTyping() {
    co_return Start{};
}

QCoro::Task<bool> CollectingKeyboardSink::postText(QString text) {
    typed += text;
    co_return true;
}

QCoro::Task<bool> CollectingKeyboardSink::postReturnKey(bool keyDown) {
    if (keyDown)
        typed += QLatin1Char('\n');
    co_return true;
}

QCoro::Task<> CollectingKeyboardSink::endTyping() {
    co_return;
}
