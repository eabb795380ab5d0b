#include "platform/fake/InMemorySecretStore.h"

SecretStore::ReadResult InMemorySecretStore::read(const QString& service, const QString& account) {
    ++reads;
    if (readStatus != statusSuccess)
        return {readStatus, std::nullopt};
    const auto found = items.constFind(Key(service, account));
    if (found == items.constEnd())
        return {statusItemNotFound, std::nullopt};
    return {statusSuccess, found.value()};
}

SecretStore::Status InMemorySecretStore::add(const QString& service, const QString& account,
                                             const QByteArray& value) {
    ++adds;
    if (addStatus != statusSuccess)
        return addStatus;
    items.insert(Key(service, account), value);
    return statusSuccess;
}

SecretStore::Status InMemorySecretStore::remove(const QString& service, const QString& account) {
    ++removes;
    if (removeStatus != statusSuccess)
        return removeStatus;
    return items.remove(Key(service, account)) > 0 ? statusSuccess : statusItemNotFound;
}

int InMemorySecretStore::itemCount(const QString& service, const QString& account) const {
    return int(items.count(Key(service, account)));
}

std::optional<QByteArray> InMemorySecretStore::value(const QString& service, const QString& account) const {
    const auto found = items.constFind(Key(service, account));
    if (found == items.constEnd())
        return std::nullopt;
    return found.value();
}
