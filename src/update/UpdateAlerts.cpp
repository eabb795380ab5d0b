#include "update/UpdateAlerts.h"

namespace UpdateAlerts {

Alert updateAvailable(const RemoteVersion& remote, const QString& shortVersion, qint64 currentBuild) {
    Alert alert;
    alert.message = QStringLiteral("Voxlet ") + remote.version + QStringLiteral(" disponível");
    alert.informativeText = QStringLiteral("Você está na versão ") + shortVersion +
                            QStringLiteral(" (build ") + QString::number(currentBuild) +
                            QStringLiteral("). Uma nova versão foi lançada.\n\n") +
                            remote.releaseNotes.value_or(QStringLiteral("Melhorias e correções."));
    alert.buttons = {installButton, laterButton};
    return alert;
}

Alert upToDate(const QString& shortVersion, qint64 currentBuild) {
    Alert alert;
    alert.message = QStringLiteral("Voxlet está atualizado");
    alert.informativeText = QStringLiteral("Você está na versão ") + shortVersion +
                            QStringLiteral(" (build ") + QString::number(currentBuild) +
                            QStringLiteral("), que é a versão mais recente disponível.");
    alert.buttons = {QStringLiteral("OK")};
    return alert;
}

} // namespace UpdateAlerts
