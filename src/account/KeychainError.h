#pragma once

#include <QString>
#include <QtGlobal>

// A keyring operation that did not succeed, with the keyring's status code.
struct KeychainError {
    enum class Kind { unhandledError };

    Kind kind = Kind::unhandledError;
    qint32 status = 0;

    static KeychainError unhandledError(qint32 status) { return {Kind::unhandledError, status}; }

    // "Keychain error (status: N)"
    QString localizedDescription() const;

    bool operator==(const KeychainError&) const = default;
};
