#include "update/ProgressDialogPresenter.h"

#include <QProgressDialog>

#include <algorithm>

namespace {

constexpr qint64 steps = 1000;

} // namespace

ProgressDialogPresenter::~ProgressDialogPresenter() {
    end();
}

QProgressDialog* ProgressDialogPresenter::dialog() const {
    return shown;
}

void ProgressDialogPresenter::begin(const QString& text, std::function<void()> onCancel) {
    end();
    auto* dialog = new QProgressDialog(text, QStringLiteral("Cancelar"), 0, 0);
    dialog->setWindowTitle(QStringLiteral("Voxlet"));
    dialog->setAttribute(Qt::WA_QuitOnClose, false);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setMinimumDuration(0);
    QObject::connect(dialog, &QProgressDialog::canceled, dialog, [onCancel = std::move(onCancel)] {
        if (onCancel)
            onCancel();
    });
    shown = dialog;
    dialog->show();
}

void ProgressDialogPresenter::update(qint64 done, qint64 total) {
    if (!shown)
        return;
    if (total <= 0) {
        shown->setRange(0, 0);
        return;
    }
    // The dialog counts in int: show thousandths, whatever the archive's size.
    shown->setRange(0, int(steps));
    shown->setValue(int(std::clamp<qint64>(done * steps / total, 0, steps)));
}

void ProgressDialogPresenter::end() {
    if (!shown)
        return;
    QProgressDialog* dialog = shown;
    shown = nullptr;
    dialog->disconnect();
    dialog->hide();
    dialog->deleteLater();
}
