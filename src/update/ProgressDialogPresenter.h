#pragma once

#include "platform/ProgressPresenter.h"

#include <QPointer>

class QProgressDialog;

// A QProgressDialog with a "Cancelar" button.
class ProgressDialogPresenter final : public ProgressPresenter {
public:
    ~ProgressDialogPresenter() override;

    void begin(const QString& text, std::function<void()> onCancel) override;
    void update(qint64 done, qint64 total) override;
    void end() override;

    // The dialog while it is shown (for tests).
    QProgressDialog* dialog() const;

private:
    QPointer<QProgressDialog> shown;
};
