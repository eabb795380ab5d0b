#pragma once

#include <QString>

#include <functional>

// A progress display for a long operation that the user may cancel (one at a time).
class ProgressPresenter {
public:
    virtual ~ProgressPresenter() = default;

    // Shows the display; `onCancel` runs on the GUI thread when the user cancels.
    virtual void begin(const QString& text, std::function<void()> onCancel) = 0;
    // `total` is negative when it is not known.
    virtual void update(qint64 done, qint64 total) = 0;
    // Hides the display; `onCancel` is not called afterwards.
    virtual void end() = 0;
};
