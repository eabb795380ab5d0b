#pragma once

#include "HttpMessage.h"

#include <QString>

class HttpServer;

// The browser sign-in page under the web base URL ("web/login"): it asks for an e-mail address or a
// phone number, has the sign-in service send a one-time code, verifies it, and hands the access token
// back to the program through a voxlet://auth link.
namespace WebSignInPage {

void registerRoutes(HttpServer& server, const QString& anonKey);
HttpResponse page(const QString& anonKey);

} // namespace WebSignInPage
