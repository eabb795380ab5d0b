#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

// One HTTP request as the handlers see it; header names are lower case.
struct HttpRequest {
    QByteArray method;
    QString path;
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QHostAddress remoteAddress;

    QByteArray header(const QByteArray& lowerCaseName) const;
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    static HttpResponse json(int status, const QJsonObject& object);
    static HttpResponse empty(int status);

    // The whole response as it goes on the wire. `close` adds "Connection: close".
    QByteArray serialize(bool close) const;
    static QByteArray reasonPhrase(int status);
};
