#pragma once

#include <QtGlobal>

// Bounds every HTTP connection is held to, so that no client can exhaust memory or hold a
// connection open for ever.
struct HttpLimits {
    qsizetype maxHeaderBytes = 32 * 1024;
    qsizetype maxBodyBytes = 48 * 1024 * 1024; // a ten-minute recording, Base64-encoded in JSON
    int idleTimeoutMs = 60'000;                // no bytes either way while no answer is pending
};
