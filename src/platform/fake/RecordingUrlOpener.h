#pragma once

#include "platform/UrlOpener.h"

#include <QList>

// Keeps the addresses it was asked to open and answers with `result`.
class RecordingUrlOpener final : public UrlOpener {
public:
    bool openUrl(const QUrl& url) override;

    QList<QUrl> opened;
    bool result = true;
};
