#include "account/KeychainAuthStorage.h"

#include "platform/SecretStore.h"

#include <QSettings>

KeychainAuthStorage::KeychainAuthStorage(QString service, QSettings& userDefaults, SecretStore& secretStore)
    : serviceName(std::move(service))
    , defaults(&userDefaults)
    , secrets(&secretStore) {}

std::optional<KeychainError> KeychainAuthStorage::store(const QString& key, const QByteArray& value) {
    // The keyring keeps at most one item per key only if the old one goes first; whether there was
    // one does not matter.
    secrets->remove(serviceName, key);
    const SecretStore::Status status = secrets->add(serviceName, key, value);
    if (status != SecretStore::statusSuccess)
        return KeychainError::unhandledError(status);
    defaults->remove(key);
    defaults->sync();
    return std::nullopt;
}

KeychainAuthStorage::Result<std::optional<QByteArray>> KeychainAuthStorage::retrieve(const QString& key) {
    const SecretStore::ReadResult found = secrets->read(serviceName, key);
    if (found.status == SecretStore::statusItemNotFound) {
        if (!defaults->contains(key))
            return std::optional<QByteArray>();
        const QByteArray legacy = defaults->value(key).toByteArray();
        // The bytes leave the user defaults only once they are safe in the keyring.
        if (auto error = store(key, legacy))
            return *error;
        return std::optional<QByteArray>(legacy);
    }
    if (found.status == SecretStore::statusSuccess && found.value)
        return std::optional<QByteArray>(*found.value);
    return KeychainError::unhandledError(found.status);
}

std::optional<KeychainError> KeychainAuthStorage::remove(const QString& key) {
    const SecretStore::Status status = secrets->remove(serviceName, key);
    defaults->remove(key);
    defaults->sync();
    if (status != SecretStore::statusSuccess && status != SecretStore::statusItemNotFound)
        return KeychainError::unhandledError(status);
    return std::nullopt;
}
