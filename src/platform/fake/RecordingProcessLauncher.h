#pragma once

#include "platform/DetachedProcessLauncher.h"

#include <QList>

#include <functional>

// Keeps the programs it was asked to start, starts none, and answers with `result`.
class RecordingProcessLauncher final : public DetachedProcessLauncher {
public:
    struct Request {
        QString program;
        QStringList arguments;
    };

    Launch startDetached(const QString& program, const QStringList& arguments) override;

    QList<Request> requests;
    Launch result{true, {}};
    // Runs at each request (for example to look at files before the caller moves on).
    std::function<void(const Request&)> onRequest;
};
