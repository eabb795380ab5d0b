#pragma once

#include <QString>

#include <qcorotask.h>

#include <functional>
#include <optional>

// Supplies the access token for a backend call: one that does not expire within the next minute, or
// nothing. It never fails. Empty means no provider was installed.
using AccessTokenProvider = std::function<QCoro::Task<std::optional<QString>>()>;
