#pragma once

#include "platform/KeyboardSink.h"

#include <QString>

// Keeps what would have been typed, for printing instead of typing.
class CollectingKeyboardSink final : public KeyboardSink {
public:
    std::optional<QString> unavailableReason() const override { return std::nullopt; }
    QCoro::Task<Start> beginTyping() override;
    QCoro::Task<bool> postText(QString text) override;
    QCoro::Task<bool> postReturnKey(bool keyDown) override;
    QCoro::Task<> endTyping() override;

    QString typed;
};
