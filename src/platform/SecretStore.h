#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The user's keyring: secret items named by (service, account), at most one per pair. Every
// operation answers with a status code; the codes keep the values users know from keychain error
// messages, so "Keychain error (status: N)" stays meaningful whatever the keyring is.
class SecretStore {
public:
    using Status = qint32;

    static constexpr Status statusSuccess = 0;
    // No item for (service, account).
    static constexpr Status statusItemNotFound = -25300;
    // The keyring is there but locked: the item may exist, so this is never "not found".
    static constexpr Status statusLocked = -25308;
    // The keyring has no default collection to keep new items in.
    static constexpr Status statusNoDefaultCollection = -25307;
    // No keyring service answers at all (no daemon, no bus).
    static constexpr Status statusNotAvailable = -25291;
    // The stored item does not hold a value this store wrote.
    static constexpr Status statusDecode = -26275;
    // Any other failure of the keyring service.
    static constexpr Status statusInternalFailure = -2070;

    struct ReadResult {
        Status status = statusItemNotFound;
        // Present exactly when status is statusSuccess.
        std::optional<QByteArray> value;
    };

    virtual ~SecretStore() = default;

    virtual ReadResult read(const QString& service, const QString& account) = 0;
    // Adds an item; the caller removes an older one first.
    virtual Status add(const QString& service, const QString& account, const QByteArray& value) = 0;
    // statusItemNotFound when there was nothing to remove.
    virtual Status remove(const QString& service, const QString& account) = 0;
};
