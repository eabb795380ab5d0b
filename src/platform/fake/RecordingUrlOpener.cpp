#include "platform/fake/RecordingUrlOpener.h"

bool RecordingUrlOpener::openUrl(const QUrl& url) {
    opened.append(url);
    return result;
}
