#include "account/AuthLoginMethod.h"

QString AuthLoginMethods::rawValue(AuthLoginMethod method) {
    return method == AuthLoginMethod::email ? QStringLiteral("email") : QStringLiteral("phone");
}

QString AuthOTPDeliveryChannels::rawValue(AuthOTPDeliveryChannel channel) {
    return channel == AuthOTPDeliveryChannel::sms ? QStringLiteral("sms") : QStringLiteral("whatsapp");
}
