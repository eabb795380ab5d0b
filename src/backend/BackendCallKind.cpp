#include "backend/BackendCallKind.h"

using namespace std::chrono_literals;

BackendCallKind BackendCallKind::capabilities() {
    return {"GET", QStringLiteral("ai/capabilities"), 1, 0ms};
}

BackendCallKind BackendCallKind::format() {
    return {"POST", QStringLiteral("ai/format"), 2, 900ms};
}

BackendCallKind BackendCallKind::audioFormat() {
    return {"POST", QStringLiteral("ai/audio-format"), 2, 900ms};
}

BackendCallKind BackendCallKind::translate() {
    return {"POST", QStringLiteral("ai/translate"), 2, 900ms};
}

BackendCallKind BackendCallKind::transcribe() {
    return {"POST", QStringLiteral("ai/transcribe"), 2, 1200ms};
}
