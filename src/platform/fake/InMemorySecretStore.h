#pragma once

#include "platform/SecretStore.h"

#include <QMap>
#include <QPair>

// A keyring in memory, for logic tests. It can be told to refuse operations with a given status.
class InMemorySecretStore final : public SecretStore {
public:
    ReadResult read(const QString& service, const QString& account) override;
    Status add(const QString& service, const QString& account, const QByteArray& value) override;
    Status remove(const QString& service, const QString& account) override;

    // Adds to the existing items instead of replacing them, as a careless keyring would: lets tests
    // see that callers remove before they add.
    int itemCount(const QString& service, const QString& account) const;
    std::optional<QByteArray> value(const QString& service, const QString& account) const;

    // Every later operation of that kind answers `status` without touching the items (statusSuccess
    // restores normal behaviour).
    void setReadStatus(Status status) { readStatus = status; }
    void setAddStatus(Status status) { addStatus = status; }
    void setRemoveStatus(Status status) { removeStatus = status; }

    int readCount() const { return reads; }
    int addCount() const { return adds; }
    int removeCount() const { return removes; }

private:
    using Key = QPair<QString, QString>;
    QMultiMap<Key, QByteArray> items;
    Status readStatus = statusSuccess;
    Status addStatus = statusSuccess;
    Status removeStatus = statusSuccess;
    int reads = 0;
    int adds = 0;
    int removes = 0;
};
