#pragma once

#include "platform/AlertPresenter.h"
#include "update/RemoteVersion.h"

// The two alerts of the release check, in the program's Portuguese.
namespace UpdateAlerts {

inline const QString installButton = QStringLiteral("Instalar e Reiniciar");
inline const QString laterButton = QStringLiteral("Depois");

// Buttons "Instalar e Reiniciar" (index 0, the default) and "Depois".
Alert updateAvailable(const RemoteVersion& remote, const QString& shortVersion, qint64 currentBuild);
Alert upToDate(const QString& shortVersion, qint64 currentBuild);

} // namespace UpdateAlerts
