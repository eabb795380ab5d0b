#pragma once

#include "platform/AlertPresenter.h"

// Alerts as application-modal QMessageBox dialogs titled "Voxlet".
class MessageBoxAlertPresenter final : public AlertPresenter {
public:
    int present(const Alert& alert) override;
};
