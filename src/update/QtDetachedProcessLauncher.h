#pragma once

#include "platform/DetachedProcessLauncher.h"

// QProcess::startDetached: the program is not a child that the program must wait for.
class QtDetachedProcessLauncher final : public DetachedProcessLauncher {
public:
    Launch startDetached(const QString& program, const QStringList& arguments) override;
};
