#pragma once

#include "platform/ProgressPresenter.h"

#include <QList>
#include <QPair>
#include <QString>

// Keeps what a progress display would have shown; cancel() plays the user's cancel button.
class RecordingProgressPresenter final : public ProgressPresenter {
public:
    void begin(const QString& text, std::function<void()> onCancel) override;
    void update(qint64 done, qint64 total) override;
    void end() override;

    // Calls the cancel handler, as the user would; false when nothing is shown.
    bool cancel();
    bool isShown() const { return shown; }

    QStringList texts;
    QList<QPair<qint64, qint64>> updates;
    int endCount = 0;

private:
    bool shown = false;
    std::function<void()> cancelHandler;
};
