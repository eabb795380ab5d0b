#include "platform/fake/RecordingProgressPresenter.h"

void RecordingProgressPresenter::begin(const QString& text, std::function<void()> onCancel) {
    texts.append(text);
    cancelHandler = std::move(onCancel);
    shown = true;
}

void RecordingProgressPresenter::update(qint64 done, qint64 total) {
    updates.append({done, total});
}

void RecordingProgressPresenter::end() {
    ++endCount;
    shown = false;
    cancelHandler = nullptr;
}

bool RecordingProgressPresenter::cancel() {
    if (!shown || !cancelHandler)
        return false;
    auto handler = cancelHandler;
    handler();
    return true;
}
