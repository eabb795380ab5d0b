#pragma once

#include <QString>
#include <QStringList>

// A modal message to the user with one or more buttons.
struct Alert {
    enum class Style { Informational, Critical };

    Style style = Style::Informational;
    QString message;         // the headline
    QString informativeText; // the explanation under it
    QStringList buttons;     // in order; the first is the default

    friend bool operator==(const Alert&, const Alert&) = default;
};

// Shows alerts as modal desktop dialogs.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;

    // Blocks until the user answers; the index of the button chosen, or -1 when the alert was closed
    // without choosing one.
    virtual int present(const Alert& alert) = 0;
};
