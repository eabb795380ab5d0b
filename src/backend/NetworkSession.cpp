#include "backend/NetworkSession.h"

#include <QNetworkAccessManager>

QNetworkAccessManager& sharedNetworkAccessManager() {
    static QNetworkAccessManager* manager = new QNetworkAccessManager();
    return *manager;
}
