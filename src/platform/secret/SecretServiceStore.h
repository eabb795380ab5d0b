#pragma once

#include "platform/SecretStore.h"

#include <QString>

// The keyring as the freedesktop Secret Service (gnome-keyring, KWallet, KeePassXC) through libsecret.
// Items belong to the schema "com.voxlet.auth" with the string attributes "service" and "account";
// the value is kept as Base64 text. New items go to the default collection.
//
// libsecret answers a read from a locked collection exactly as if there were no item, and a caller
// that believed it would replace or forget a session the user still has. Every operation therefore
// checks the lock state itself and answers statusLocked instead.
//
// Every operation connects afresh to the session bus that DBUS_SESSION_BUS_ADDRESS names at that
// moment and keeps nothing between calls, so a keyring daemon that restarts is simply found again.
class SecretServiceStore final : public SecretStore {
public:
    ReadResult read(const QString& service, const QString& account) override;
    Status add(const QString& service, const QString& account, const QByteArray& value) override;
    Status remove(const QString& service, const QString& account) override;
};
