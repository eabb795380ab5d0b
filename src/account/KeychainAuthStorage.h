#pragma once

#include "account/KeychainError.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <variant>

class QSettings;
class SecretStore;

// The sign-in session's persistent store: every value is a keyring item of `service` whose account is
// the key. A copy of a value that the user defaults still hold under the same key is moved into the
// keyring when it is read and dropped when the key is stored or removed.
//
// Operations on one key must come one at a time (a store is a removal followed by an addition).
class KeychainAuthStorage {
public:
    template <typename T> using Result = std::variant<T, KeychainError>;
    struct Done {};

    // Neither `secrets` nor `defaults` is owned; both must outlive the storage.
    KeychainAuthStorage(QString service, QSettings& defaults, SecretStore& secrets);

    const QString& service() const { return serviceName; }

    std::optional<KeychainError> store(const QString& key, const QByteArray& value);
    // Nothing when neither the keyring nor the user defaults hold a value for the key.
    Result<std::optional<QByteArray>> retrieve(const QString& key);
    std::optional<KeychainError> remove(const QString& key);

private:
    QString serviceName;
    QSettings* defaults;
    SecretStore* secrets;
};
