#include "update/ReleaseDownloader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QScopeGuard>

#include <QCoroNetworkReply>

#include <memory>

namespace {

constexpr int inactivityTimeoutMs = 60000;

// A reply is deleted later, never inside one of its own signals (QCoro resumes inside them).
struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// Aborting from inside a slot would finish the reply (and resume the download) in the middle of it.
void abortSoon(QNetworkReply* reply) {
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

bool isSuccess(const QVariant& status) {
    return status.isValid() && status.toInt() >= 200 && status.toInt() <= 299;
}

} // namespace

ReleaseDownloader::ReleaseDownloader(QNetworkAccessManager& networkAccess, QObject* parent)
    : QObject(parent)
    , network(networkAccess) {}

void ReleaseDownloader::cancel() {
    cancelled = true;
    if (reply)
        abortSoon(reply);
}

QCoro::Task<ReleaseDownloader::Outcome> ReleaseDownloader::download(QUrl url, QString destination) {
    using Status = Outcome::Status;
    cancelled = false;
    QSaveFile file(destination);
    if (!file.open(QIODevice::WriteOnly))
        co_return Outcome{Status::Failed,
                          QStringLiteral("Cannot write %1: %2").arg(destination, file.errorString())};

    QNetworkRequest request(url);
    request.setTransferTimeout(inactivityTimeoutMs);
    std::unique_ptr<QNetworkReply, DeleteLater> ownedReply(network.get(request));
    reply = ownedReply.get();
    auto forgetReply = qScopeGuard([this] { reply = nullptr; });

    QString failure;
    // An error page must not end up on disk as the archive: the body is written only under a
    // success status, and the transfer stops at the first sign of another one.
    auto drain = [&] {
        if (!failure.isEmpty() || !ownedReply->isOpen())
            return;
        const QVariant status = ownedReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && !isSuccess(status)) {
            failure = QStringLiteral("The server answered with HTTP status %1").arg(status.toInt());
            abortSoon(ownedReply.get());
            return;
        }
        const QByteArray chunk = ownedReply->readAll();
        if (!chunk.isEmpty() && file.write(chunk) != chunk.size()) {
            failure = QStringLiteral("Cannot write %1: %2").arg(destination, file.errorString());
            abortSoon(ownedReply.get());
        }
    };
    connect(ownedReply.get(), &QNetworkReply::readyRead, this, drain);
    connect(ownedReply.get(), &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (onProgress)
            onProgress(received, total);
    });

    co_await ownedReply.get();
    ownedReply->disconnect(this);
    drain();

    if (cancelled) {
        file.cancelWriting();
        co_return Outcome{Status::Cancelled, QString()};
    }
    if (failure.isEmpty() && ownedReply->error() != QNetworkReply::NoError)
        failure = ownedReply->errorString();
    if (failure.isEmpty() && !isSuccess(ownedReply->attribute(QNetworkRequest::HttpStatusCodeAttribute)))
        failure = QStringLiteral("The download of %1 got no HTTP answer").arg(url.toString());
    if (!failure.isEmpty()) {
        file.cancelWriting();
        co_return Outcome{Status::Failed, failure};
    }
    if (!file.commit())
        co_return Outcome{Status::Failed,
                          QStringLiteral("Cannot write %1: %2").arg(destination, file.errorString())};
    co_return Outcome{Status::Completed, QString()};
}
