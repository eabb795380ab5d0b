#pragma once

#include <QString>

#include <optional>

// Names one Pro dictation across its log lines and backend requests: eight upper-case hexadecimal
// characters taken from a freshly generated random UUID.
QString makeTraceId();

// The identifier as the "ProTrace id=" lines print it: verbatim (even when empty), or "none" when the
// caller has none.
QString traceLabel(const std::optional<QString>& traceId);
