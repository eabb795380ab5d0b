#include "backend/BackendCallKind.h"

using namespace std::chrono_literals;

BackendCallKind BackendCallKind::capabilities() {
    return {"GET", QStringLiteral("ai/capabilities"), 30s, 1, 0ms};
}

BackendCallKind BackendCallKind::format() {
    return {"POST", QStringLiteral("ai/format"), 30s, 2, 900ms};
}

BackendCallKind BackendCallKind::audioFormat() {
    return {"POST", QStringLiteral("ai/audio-format"), 45s, 2, 900ms};
}

BackendCallKind BackendCallKind::translate() {
    return {"POST", QStringLiteral("ai/translate"), 35s, 2, 900ms};
}

BackendCallKind BackendCallKind::transcribe() {
    return {"POST", QStringLiteral("ai/transcribe"), 60s, 2, 1200ms};
}
