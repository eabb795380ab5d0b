#pragma once

#include <QString>

#include <qcorotask.h>

#include <optional>

// Synthetic keyboard input into whatever window has the keyboard focus.
//
// One typing call is beginTyping, then text events and Return presses in order, then endTyping;
// calls never overlap (the caller serialises them). The events go to the focused window, whichever
// it is.
class KeyboardSink {
public:
    struct Start {
        bool ready = true;
        // Why the call cannot type, when it cannot (in words a user can read).
        QString failure;
    };

    virtual ~KeyboardSink() = default;

    // Why this desktop cannot receive synthetic typing at all (no display, no input-injection
    // extension, a session the adapter cannot reach), or nothing when it can.
    virtual std::optional<QString> unavailableReason() const = 0;

    // Prepares one typing call (for example: waits until the user lets go of held modifiers).
    virtual QCoro::Task<Start> beginTyping() = 0;
    // Types `text` as it stands: every character, including carriage returns, arrives as text.
    // False when some of it could not be typed (the adapter logs what and why).
    virtual QCoro::Task<bool> postText(QString text) = 0;
    // One press or release of the Return key.
    virtual QCoro::Task<bool> postReturnKey(bool keyDown) = 0;
    // Ends the call: whatever beginTyping or the text events changed on the desktop is put back.
    virtual QCoro::Task<> endTyping() = 0;
};
