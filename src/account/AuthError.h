#pragma once

#include <QString>

#include <utility>
#include <variant>

// Why a sign-in service operation failed. `localizedDescription` is what the user may be shown: the
// service's own message when it sent one.
struct AuthError {
    QString localizedDescription;
    // The HTTP status of the service's answer; 0 when there was none (network, keyring, local checks).
    int httpStatus = 0;
    // Worth trying again later: the service was unreachable or answered 408, 429 or 5xx.
    bool transient = false;
};

// The outcome of an operation: a value or an AuthError.
template <typename T> class AuthResult {
public:
    // An operation that produced nothing (needed by waiting helpers that create the result first).
    AuthResult()
        : outcome(std::in_place_index<1>,
                  AuthError{QStringLiteral("The operation did not finish."), 0, false}) {}
    AuthResult(T value)
        : outcome(std::in_place_index<0>, std::move(value)) {}
    AuthResult(AuthError error)
        : outcome(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return outcome.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<0>(outcome); }
    T& value() { return std::get<0>(outcome); }
    const AuthError& error() const { return std::get<1>(outcome); }

private:
    std::variant<T, AuthError> outcome;
};

struct AuthDone {};
using AuthStatus = AuthResult<AuthDone>;
