#pragma once

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

// Downloads one release archive straight to a file, chunk by chunk as it arrives, so the archive is
// never held in memory. The file appears (replacing an older one) only when the whole body arrived
// with a success status; otherwise nothing is left behind.
class ReleaseDownloader : public QObject {
    Q_OBJECT

public:
    struct Outcome {
        enum class Status { Completed, Cancelled, Failed };
        Status status = Status::Failed;
        QString error; // for Failed: what went wrong
    };

    explicit ReleaseDownloader(QNetworkAccessManager& network, QObject* parent = nullptr);

    // Streams `url` into `destination` (arguments by value: the task outlives the call).
    QCoro::Task<Outcome> download(QUrl url, QString destination);
    // Ends a running download with the outcome Cancelled.
    void cancel();

    // Bytes received so far and the total (negative when the server did not say).
    std::function<void(qint64 received, qint64 total)> onProgress;

private:
    QNetworkAccessManager& network;
    QPointer<QNetworkReply> reply;
    bool cancelled = false;
};
