#include "platform/portal/PortalRequest.h"

#include <QDBusArgument>
#include <QDBusMessage>

namespace {
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
} // namespace

PortalRequest::PortalRequest(QDBusConnection connection, QString path, QObject* parent)
    : QObject(parent)
    , bus(std::move(connection))
    , objectPath(std::move(path)) {
    bus.connect(portalService, objectPath, requestInterface, QStringLiteral("Response"), this,
                SLOT(handleResponse(QDBusMessage)));
}

PortalRequest::~PortalRequest() {
    bus.disconnect(portalService, objectPath, requestInterface, QStringLiteral("Response"), this,
                   SLOT(handleResponse(QDBusMessage)));
    if (!answered)
        finish(2, {});
}

void PortalRequest::handleResponse(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (answered || arguments.size() < 2)
        return;
    QVariantMap map;
    const QVariant second = arguments.at(1);
    if (second.canConvert<QDBusArgument>())
        second.value<QDBusArgument>() >> map;
    else
        map = second.toMap();
    finish(arguments.at(0).toUInt(), map);
}

void PortalRequest::finish(uint responseCode, QVariantMap responseResults) {
    answered = true;
    code = responseCode;
    results = std::move(responseResults);
    if (auto handle = std::exchange(waiter, {}))
        handle.resume();
}
