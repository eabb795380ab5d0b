#pragma once

#include "account/AuthSession.h"

#include <optional>

// What happened to the session, as the sign-in client reports it.
enum class AuthChangeEvent {
    initialSession,
    signedIn,
    signedOut,
    tokenRefreshed,
    userUpdated,
    userDeleted,
    passwordRecovery,
    mfaChallengeVerified,
};

struct AuthStateChange {
    AuthChangeEvent event;
    std::optional<AuthSession> session;
};
