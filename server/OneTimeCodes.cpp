#include "OneTimeCodes.h"

#include "ServerLog.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>

OneTimeCodes::OneTimeCodes(QString dataDirectory, qint64 lifetimeSeconds, int maxAttempts)
    : m_directory(std::move(dataDirectory))
    , m_lifetime(lifetimeSeconds)
    , m_maxAttempts(maxAttempts) {}

QString OneTimeCodes::filePath() const {
    return QDir(m_directory).filePath(QStringLiteral("one-time-codes.json"));
}

QString OneTimeCodes::issue(const QString& contact, qint64 now) {
    const quint32 n = QRandomGenerator::system()->bounded(1000000u);
    const QString code = QStringLiteral("%1").arg(n, 6, 10, QLatin1Char('0'));
    m_pending.insert(contact, Pending{code, now + m_lifetime, 0});
    writeFile(now);
    // The local stand-in of mail and SMS: the one line that carries a secret on purpose.
    serverLog(QStringLiteral("Auth: one-time code for %1 is %2 (valid %3 s, also in %4)")
                  .arg(contact, code)
                  .arg(m_lifetime)
                  .arg(filePath()));
    return code;
}

OneTimeCodes::Check OneTimeCodes::verify(const QString& contact, const QString& code, qint64 now) {
    auto it = m_pending.find(contact);
    if (it == m_pending.end())
        return Check::rejected;
    if (now >= it->expiresAt) {
        m_pending.erase(it);
        writeFile(now);
        return Check::rejected;
    }
    if (it->code != code) {
        if (++it->failedAttempts >= m_maxAttempts) {
            serverLog(QStringLiteral("Auth: too many wrong codes for %1, code withdrawn").arg(contact));
            m_pending.erase(it);
            writeFile(now);
        }
        return Check::rejected;
    }
    m_pending.erase(it);
    writeFile(now);
    return Check::accepted;
}

void OneTimeCodes::writeFile(qint64 now) {
    QJsonObject codes;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (it->expiresAt <= now)
            continue;
        codes.insert(
            it.key(),
            QJsonObject{{QStringLiteral("code"), it->code},
                        {QStringLiteral("expires_at"),
                         QDateTime::fromSecsSinceEpoch(it->expiresAt, Qt::UTC).toString(Qt::ISODate)}});
    }
    QSaveFile file(filePath());
    if (!file.open(QIODevice::WriteOnly)) {
        serverLog(QStringLiteral("Auth: cannot write %1: %2").arg(file.fileName(), file.errorString()));
        return;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(codes).toJson(QJsonDocument::Indented));
    if (!file.commit())
        serverLog(QStringLiteral("Auth: cannot write %1: %2").arg(file.fileName(), file.errorString()));
}
