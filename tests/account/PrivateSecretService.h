#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A private session bus of the test's own, with nothing on it that can be started on demand, and
// optionally a gnome-keyring Secret Service on it in a private HOME. Lets one test process see a
// keyring in any state (missing, without collections, locked) without touching the shared one.
class PrivateSecretService {
public:
    enum class Keyring {
        none,     // the bus only
        unlocked, // a "login" collection, unlocked, as the default
        noLogin,  // a daemon without any collection
    };

    explicit PrivateSecretService(Keyring keyring);
    ~PrivateSecretService();

    // Empty when something failed to start; `failure` says what.
    const QString& busAddress() const { return address; }
    const QString& failure() const { return problem; }

    // Locks the default collection through the Secret Service API (no prompt is needed to lock).
    bool lockDefaultCollection();

private:
    bool startBus();
    bool startKeyring(bool unlock);

    QTemporaryDir folder;
    QProcess bus;
    QProcess keyring;
    QString address;
    QString problem;
};
