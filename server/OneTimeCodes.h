#pragma once

#include <QHash>
#include <QString>

// The one-time sign-in codes waiting to be used. They are not mailed: each new code is logged and
// written to one-time-codes.json in the data folder (readable by the owner only), keyed by contact.
class OneTimeCodes {
public:
    OneTimeCodes(QString dataDirectory, qint64 lifetimeSeconds, int maxAttempts);

    // A fresh six-digit code for the contact; an earlier one stops working.
    QString issue(const QString& contact, qint64 now);

    enum class Check { accepted, rejected };
    // A code is good once, before it expires, and only until too many wrong codes were tried.
    Check verify(const QString& contact, const QString& code, qint64 now);

    QString filePath() const;

private:
    struct Pending {
        QString code;
        qint64 expiresAt = 0;
        int failedAttempts = 0;
    };
    void writeFile(qint64 now);

    QString m_directory;
    qint64 m_lifetime;
    int m_maxAttempts;
    QHash<QString, Pending> m_pending;
};
