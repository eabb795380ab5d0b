#pragma once

#include "platform/AlertPresenter.h"

#include <QList>

#include <deque>
#include <functional>

// Keeps every alert shown and answers each with the next scripted button index (then `defaultAnswer`).
class ScriptedAlertPresenter final : public AlertPresenter {
public:
    int present(const Alert& alert) override;

    QList<Alert> shown;
    std::deque<int> answers;
    int defaultAnswer = -1;
    // Runs while an alert is "on screen", before it is answered.
    std::function<void(const Alert&)> whilePresenting;
};
