#include "HttpMessage.h"

QByteArray HttpRequest::header(const QByteArray& lowerCaseName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerCaseName)
            return value;
    return {};
}

HttpResponse HttpResponse::json(int status, const QJsonObject& object) {
    return HttpResponse{status,
                        QByteArrayLiteral("application/json"),
                        QJsonDocument(object).toJson(QJsonDocument::Compact),
                        {}};
}

HttpResponse HttpResponse::empty(int status) {
    return HttpResponse{status, {}, {}, {}};
}

QByteArray HttpResponse::reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 422:
        return "Unprocessable Entity";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

QByteArray HttpResponse::serialize(bool close) const {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!contentType.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    if (status != 204)
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto& [name, value] : headers)
        out += name + ": " + value + "\r\n";
    if (close)
        out += "Connection: close\r\n";
    out += "\r\n";
    if (status != 204)
        out += body;
    return out;
}
