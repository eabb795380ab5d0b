#include "backend/TraceId.h"

#include <QUuid>

QString makeTraceId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).left(8).toUpper();
}

QString traceLabel(const std::optional<QString>& traceId) {
    return traceId ? *traceId : QStringLiteral("none");
}
