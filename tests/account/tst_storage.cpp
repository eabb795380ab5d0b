// The keyring session storage's own rules, on an in-memory keyring that can be told to fail.

#include "account/KeychainAuthStorage.h"
#include "platform/fake/InMemorySecretStore.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString service = QStringLiteral("com.voxlet.auth");
const QString key = QStringLiteral("session");
} // namespace

class KeychainAuthStorageTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir folder;
    std::unique_ptr<QSettings> defaults;
    InMemorySecretStore secrets;

private Q_SLOTS:
    void init() {
        static int count = 0;
        defaults = std::make_unique<QSettings>(
            folder.filePath(QStringLiteral("defaults-%1.ini").arg(++count)), QSettings::IniFormat);
        secrets = InMemorySecretStore();
    }

    void storeRemovesTheOldItemFirst() {
        KeychainAuthStorage storage(service, *defaults, secrets);
        QCOMPARE(storage.store(key, "one"), std::nullopt);
        QCOMPARE(storage.store(key, "two"), std::nullopt);
        QCOMPARE(secrets.itemCount(service, key), 1);
        QCOMPARE(secrets.value(service, key), std::optional<QByteArray>("two"));
    }

    void refusedAddKeepsUserDefaultsCopy_data() {
        QTest::addColumn<qint32>("status");
        QTest::addColumn<QString>("description");
        QTest::newRow("locked") << SecretStore::statusLocked
                                << QStringLiteral("Keychain error (status: -25308)");
        QTest::newRow("no service") << SecretStore::statusNotAvailable
                                    << QStringLiteral("Keychain error (status: -25291)");
        QTest::newRow("other") << qint32(-25299) << QStringLiteral("Keychain error (status: -25299)");
    }

    void refusedAddKeepsUserDefaultsCopy() {
        QFETCH(qint32, status);
        QFETCH(QString, description);
        KeychainAuthStorage storage(service, *defaults, secrets);
        defaults->setValue(key, QByteArray("copy"));
        secrets.setAddStatus(status);

        const auto error = storage.store(key, "value");
        QVERIFY(error);
        QCOMPARE(error->status, status);
        QCOMPARE(error->localizedDescription(), description);
        QCOMPARE(defaults->value(key).toByteArray(), QByteArray("copy"));
    }

    void failedMoveLeavesTheCopyAndFails() {
        KeychainAuthStorage storage(service, *defaults, secrets);
        defaults->setValue(key, QByteArray("copy"));
        secrets.setAddStatus(-25299);

        const auto read = storage.retrieve(key);
        QVERIFY(std::holds_alternative<KeychainError>(read));
        QCOMPARE(std::get<KeychainError>(read).status, -25299);
        QCOMPARE(defaults->value(key).toByteArray(), QByteArray("copy"));
        QCOMPARE(secrets.itemCount(service, key), 0);
    }

    void readFailureIsNeverNotFound_data() {
        QTest::addColumn<qint32>("status");
        QTest::newRow("locked") << SecretStore::statusLocked;
        QTest::newRow("no service") << SecretStore::statusNotAvailable;
        QTest::newRow("undecodable item") << SecretStore::statusDecode;
    }

    void readFailureIsNeverNotFound() {
        QFETCH(qint32, status);
        KeychainAuthStorage storage(service, *defaults, secrets);
        defaults->setValue(key, QByteArray("stale copy"));
        secrets.setReadStatus(status);

        const auto read = storage.retrieve(key);
        QVERIFY(std::holds_alternative<KeychainError>(read));
        QCOMPARE(std::get<KeychainError>(read).status, status);
        // Nothing moved and nothing written.
        QCOMPARE(defaults->value(key).toByteArray(), QByteArray("stale copy"));
        QCOMPARE(secrets.addCount(), 0);
    }

    void removeReportsFailuresButAlwaysDropsTheCopy() {
        KeychainAuthStorage storage(service, *defaults, secrets);
        QCOMPARE(storage.store(key, "value"), std::nullopt);
        defaults->setValue(key, QByteArray("copy"));
        secrets.setRemoveStatus(SecretStore::statusLocked);

        const auto error = storage.remove(key);
        QVERIFY(error);
        QCOMPARE(error->status, SecretStore::statusLocked);
        QVERIFY(!defaults->contains(key));
        QCOMPARE(secrets.itemCount(service, key), 1);

        secrets.setRemoveStatus(SecretStore::statusSuccess);
        QCOMPARE(storage.remove(key), std::nullopt);
        QCOMPARE(storage.remove(key), std::nullopt);
        QCOMPARE(secrets.itemCount(service, key), 0);
    }
};

QTEST_GUILESS_MAIN(KeychainAuthStorageTest)
#include "tst_storage.moc"
