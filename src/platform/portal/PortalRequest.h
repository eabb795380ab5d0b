#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include <coroutine>
#include <utility>

class QDBusMessage;

// One pending portal request: the Response signal on the request's object path, awaitable from a
// coroutine. A request destroyed before its answer resumes its waiter with the "ended" code 2, so
// no coroutine is left hanging.
class PortalRequest : public QObject {
    Q_OBJECT
public:
    PortalRequest(QDBusConnection bus, QString path, QObject* parent);
    ~PortalRequest() override;

    QString path() const { return objectPath; }

    struct Awaiter {
        PortalRequest* request;
        bool await_ready() const noexcept { return request->answered; }
        void await_suspend(std::coroutine_handle<> handle) const noexcept { request->waiter = handle; }
        std::pair<uint, QVariantMap> await_resume() const { return {request->code, request->results}; }
    };
    Awaiter response() { return Awaiter{this}; }

private Q_SLOTS:
    void handleResponse(const QDBusMessage& message);

private:
    void finish(uint responseCode, QVariantMap responseResults);

    QDBusConnection bus;
    QString objectPath;
    bool answered = false;
    uint code = 2;
    QVariantMap results;
    std::coroutine_handle<> waiter;
};
