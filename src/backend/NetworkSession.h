#pragma once

class QNetworkAccessManager;

// The process's one HTTP client, shared by every backend and sign-in call. Lives on the GUI thread.
QNetworkAccessManager& sharedNetworkAccessManager();
