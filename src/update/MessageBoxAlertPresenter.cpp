#include "update/MessageBoxAlertPresenter.h"

#include <QMessageBox>
#include <QPushButton>

int MessageBoxAlertPresenter::present(const Alert& alert) {
    QMessageBox box(alert.style == Alert::Style::Critical ? QMessageBox::Critical : QMessageBox::Information,
                    QStringLiteral("Voxlet"), alert.message);
    box.setInformativeText(alert.informativeText);
    // The program lives in the tray: closing its only window must not end it.
    box.setAttribute(Qt::WA_QuitOnClose, false);
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        QPushButton* button =
            box.addButton(alert.buttons.at(i), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
        if (i == 0)
            box.setDefaultButton(button);
        buttons.append(button);
    }
    box.exec();
    return int(buttons.indexOf(box.clickedButton()));
}
