#pragma once

#include <QUrl>

// Opens addresses with the desktop's default handler (web pages in the browser, folders in the file
// manager).
class UrlOpener {
public:
    virtual ~UrlOpener() = default;

    // False when the desktop could not hand the address to any handler.
    virtual bool openUrl(const QUrl& url) = 0;
};
