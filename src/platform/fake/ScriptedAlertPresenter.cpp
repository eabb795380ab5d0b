#include "platform/fake/ScriptedAlertPresenter.h"

int ScriptedAlertPresenter::present(const Alert& alert) {
    shown.append(alert);
    if (whilePresenting)
        whilePresenting(alert);
    if (answers.empty())
        return defaultAnswer;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
}
