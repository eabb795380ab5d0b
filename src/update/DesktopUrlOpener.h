#pragma once

#include "platform/UrlOpener.h"

// Opens addresses through QDesktopServices (xdg-open on a Linux desktop).
class DesktopUrlOpener final : public UrlOpener {
public:
    bool openUrl(const QUrl& url) override;
};
