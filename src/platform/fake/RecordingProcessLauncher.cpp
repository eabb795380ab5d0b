#include "platform/fake/RecordingProcessLauncher.h"

DetachedProcessLauncher::Launch RecordingProcessLauncher::startDetached(const QString& program,
                                                                        const QStringList& arguments) {
    requests.append(Request{program, arguments});
    if (onRequest)
        onRequest(requests.last());
    return result;
}
