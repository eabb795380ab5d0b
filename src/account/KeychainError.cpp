#include "account/KeychainError.h"

QString KeychainError::localizedDescription() const {
    return QStringLiteral("Keychain error (status: %1)").arg(status);
}
