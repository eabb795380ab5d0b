#pragma once

#include <QString>

#include <array>

// How the user receives a one-time code.
enum class AuthLoginMethod { email, phone };
// Which messenger carries a phone code; only meaningful with AuthLoginMethod::phone.
enum class AuthOTPDeliveryChannel { sms, whatsapp };

namespace AuthLoginMethods {
inline constexpr std::array<AuthLoginMethod, 2> allCases{AuthLoginMethod::email, AuthLoginMethod::phone};
QString rawValue(AuthLoginMethod method);
} // namespace AuthLoginMethods

namespace AuthOTPDeliveryChannels {
inline constexpr std::array<AuthOTPDeliveryChannel, 2> allCases{AuthOTPDeliveryChannel::sms,
                                                                AuthOTPDeliveryChannel::whatsapp};
QString rawValue(AuthOTPDeliveryChannel channel);
} // namespace AuthOTPDeliveryChannels
