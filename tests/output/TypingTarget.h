#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A running voxlet_typing_target window on the test display, and what it has received.
class TypingTarget {
public:
    struct Options {
        QString title = QStringLiteral("Typing target");
        bool answersPings = true;
    };

    // The program next to the running test (or benchmark) binary.
    static QString programPath();

    TypingTarget();
    ~TypingTarget();

    // Starts the window and waits until it is active and has the keyboard focus; false (see error()) when it
    // did not come up.
    bool start(const Options& options);
    bool start() { return start(Options{}); }
    QString error() const { return failure; }
    quint64 windowId() const { return window; }
    qint64 processId() const { return process ? process->processId() : 0; }

    QString received() const;
    // Presses that carried Ctrl, Alt or Meta.
    QString modifiedPresses() const;
    // Waits until the received text is `expected` or the time is up, and returns what arrived.
    QString waitFor(const QString& expected, int timeoutMs = 20'000) const;

private:
    QTemporaryDir folder;
    std::unique_ptr<QProcess> process;
    quint64 window = 0;
    QString failure;
};
