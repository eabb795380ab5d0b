#pragma once

#include <QString>
#include <QStringList>

// Starts programs that outlive this one.
class DetachedProcessLauncher {
public:
    struct Launch {
        bool started = false;
        QString error; // why it did not start
    };

    virtual ~DetachedProcessLauncher() = default;

    // Starts `program` with `arguments` without waiting for it.
    virtual Launch startDetached(const QString& program, const QStringList& arguments) = 0;
};
