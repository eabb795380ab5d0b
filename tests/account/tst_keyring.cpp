// The keyring session storage and the Secret Service adapter against real gnome-keyring daemons:
// the shared one that scripts/test starts, and private ones for the locked and missing cases.

#include "PrivateSecretService.h"
#include "support/TestTokens.h"
#include "support/HttpFixture.h"

#include "account/AuthManager.h"
#include "account/KeychainAuthStorage.h"
#include "account/SupabaseAuthClient.h"
#include "dictation/AppLog.h"
#include "platform/SecretStore.h"
#include "platform/fake/ManualScheduler.h"
#include "platform/secret/SecretServiceStore.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <qcorotask.h>

using StringMap = QMap<QString, QString>;

namespace {

const QString service = QStringLiteral("com.voxlet.auth");

// How many items (locked or not) the keyring on `address` holds for (service, account).
int itemCount(const QString& address, const QString& account) {
    const QString name = QUuid::createUuid().toString();
    int count = -1;
    {
        QDBusConnection connection = QDBusConnection::connectToBus(address, name);
        QDBusMessage search = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
            QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("SearchItems"));
        search << QVariant::fromValue(
            StringMap{{QStringLiteral("service"), service}, {QStringLiteral("account"), account}});
        const QDBusMessage reply = connection.call(search);
        if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2) {
            const auto unlocked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
            const auto locked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(1));
            count = int(unlocked.size() + locked.size());
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return count;
}

// The item's secret exactly as the keyring keeps it, read by another client.
QByteArray rawSecret(const QString& address, const QString& account) {
    QProcess lookup;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    lookup.setProcessEnvironment(environment);
    lookup.start(QStringLiteral("secret-tool"), {QStringLiteral("lookup"), QStringLiteral("service"), service,
                                                 QStringLiteral("account"), account});
    lookup.waitForFinished(10000);
    return lookup.readAllStandardOutput();
}

// The adapter talks to whatever session bus the environment names when it is called.
class SessionBusScope {
public:
    explicit SessionBusScope(const QString& address)
        : previous(qgetenv("DBUS_SESSION_BUS_ADDRESS")) {
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    }
    ~SessionBusScope() { qputenv("DBUS_SESSION_BUS_ADDRESS", previous); }

private:
    QByteArray previous;
};

QString uniqueKey() {
    return QStringLiteral("test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

} // namespace

class KeyringStorageTest : public QObject {
    Q_OBJECT

private:
    QString bus;
    QTemporaryDir folder;
    std::unique_ptr<QSettings> defaults;

    QString sharedBus() { return qEnvironmentVariable("VOXLET_TEST_KEYRING_BUS"); }

private Q_SLOTS:
    void initTestCase() {
        qDBusRegisterMetaType<StringMap>();
        qputenv("XDG_STATE_HOME", folder.filePath(QStringLiteral("state")).toUtf8());
        setAppLogToStandardOutput(false);
        bus = sharedBus();
        if (bus.isEmpty()) {
            if (qEnvironmentVariable("CI") == QLatin1String("true"))
                QFAIL("the keyring service (scripts/services/keyring.sh) is not running");
            QSKIP("no private keyring: run through scripts/test (scripts/services/keyring.sh)");
        }
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus.toUtf8());
        const auto probe = SecretServiceStore().read(service, uniqueKey());
        QVERIFY2(
            probe.status == SecretStore::statusItemNotFound,
            qPrintable(QStringLiteral("the shared keyring does not answer (status %1)").arg(probe.status)));
    }

    void init() {
        defaults = std::make_unique<QSettings>(
            folder.filePath(QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".ini")),
            QSettings::IniFormat);
    }

    void storeThenRetrieve_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("session text") << QByteArray(R"({"access_token":"a.b.c","refresh_token":"r"})");
        QTest::newRow("binary bytes") << QByteArray::fromHex("0001fffe0a0d8020656e64");
        QTest::newRow("empty value") << QByteArray();
        QTest::newRow("64 KiB") << QByteArray(65536, 'x');
    }

    void storeThenRetrieve() {
        QFETCH(QByteArray, value);
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        const QString key = uniqueKey();

        QCOMPARE(storage.store(key, value), std::nullopt);
        const auto read = storage.retrieve(key);
        QVERIFY(std::holds_alternative<std::optional<QByteArray>>(read));
        QCOMPARE(std::get<std::optional<QByteArray>>(read), std::optional<QByteArray>(value));
        QCOMPARE(itemCount(bus, key), 1);
        // Other keyring clients see Base64 text, not raw bytes.
        QCOMPARE(rawSecret(bus, key), value.toBase64());

        QCOMPARE(storage.remove(key), std::nullopt);
        QCOMPARE(itemCount(bus, key), 0);
    }

    void storeTwiceKeepsOneItem() {
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        const QString key = uniqueKey();
        QCOMPARE(storage.store(key, "first"), std::nullopt);
        QCOMPARE(storage.store(key, "second"), std::nullopt);
        QCOMPARE(itemCount(bus, key), 1);
        const auto read = storage.retrieve(key);
        QVERIFY(std::holds_alternative<std::optional<QByteArray>>(read));
        QCOMPARE(std::get<std::optional<QByteArray>>(read), std::optional<QByteArray>("second"));
        storage.remove(key);
    }

    void storeDropsUserDefaultsCopy() {
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        const QString key = uniqueKey();
        defaults->setValue(key, QByteArray("old copy"));
        QCOMPARE(storage.store(key, "new"), std::nullopt);
        QVERIFY(!defaults->contains(key));
        storage.remove(key);
    }

    void retrieveWithoutItemOrCopyIsNothing() {
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        const auto read = storage.retrieve(uniqueKey());
        QVERIFY(std::holds_alternative<std::optional<QByteArray>>(read));
        QCOMPARE(std::get<std::optional<QByteArray>>(read), std::nullopt);
    }

    void retrieveMovesUserDefaultsCopyIntoKeyring() {
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        const QString key = uniqueKey();
        defaults->setValue(key, QByteArray("legacy session"));

        const auto read = storage.retrieve(key);
        QVERIFY(std::holds_alternative<std::optional<QByteArray>>(read));
        QCOMPARE(std::get<std::optional<QByteArray>>(read), std::optional<QByteArray>("legacy session"));
        QCOMPARE(itemCount(bus, key), 1);
        QVERIFY(!defaults->contains(key));
        QCOMPARE(secrets.read(service, key).value, std::optional<QByteArray>("legacy session"));
        storage.remove(key);
    }

    void removeWithoutItemSucceedsAndDropsCopy() {
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        const QString key = uniqueKey();
        defaults->setValue(key, QByteArray("copy"));
        QCOMPARE(storage.remove(key), std::nullopt);
        QVERIFY(!defaults->contains(key));
        QCOMPARE(itemCount(bus, key), 0);
    }

    // libsecret alone would answer these reads with "no item"; the user's session is still there.
    void lockedCollectionIsAnErrorNotAMissingItem() {
        PrivateSecretService keyring(PrivateSecretService::Keyring::unlocked);
        QVERIFY2(!keyring.busAddress().isEmpty(), qPrintable(keyring.failure()));
        SessionBusScope scope(keyring.busAddress());
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        QCOMPARE(storage.store(QStringLiteral("stored"), "session"), std::nullopt);
        defaults->setValue(QStringLiteral("copied"), QByteArray("stale copy"));
        QVERIFY(keyring.lockDefaultCollection());

        const KeychainError locked = KeychainError::unhandledError(SecretStore::statusLocked);
        auto read = storage.retrieve(QStringLiteral("stored"));
        QVERIFY(std::holds_alternative<KeychainError>(read));
        QCOMPARE(std::get<KeychainError>(read), locked);
        QCOMPARE(std::get<KeychainError>(read).localizedDescription(),
                 QStringLiteral("Keychain error (status: -25308)"));

        // A stale user-defaults copy must not be moved over what the locked keyring holds.
        read = storage.retrieve(QStringLiteral("copied"));
        QVERIFY(std::holds_alternative<KeychainError>(read));
        QCOMPARE(std::get<KeychainError>(read), locked);
        QCOMPARE(defaults->value(QStringLiteral("copied")).toByteArray(), QByteArray("stale copy"));
        QCOMPARE(itemCount(keyring.busAddress(), QStringLiteral("copied")), 0);

        QCOMPARE(storage.store(QStringLiteral("copied"), "new"), std::optional<KeychainError>(locked));
        QCOMPARE(defaults->value(QStringLiteral("copied")).toByteArray(), QByteArray("stale copy"));

        QCOMPARE(storage.remove(QStringLiteral("stored")), std::optional<KeychainError>(locked));
        QCOMPARE(itemCount(keyring.busAddress(), QStringLiteral("stored")), 1);
    }

    void keyringWithoutCollectionRefusesStores() {
        PrivateSecretService keyring(PrivateSecretService::Keyring::noLogin);
        QVERIFY2(!keyring.busAddress().isEmpty(), qPrintable(keyring.failure()));
        SessionBusScope scope(keyring.busAddress());
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        defaults->setValue(QStringLiteral("key"), QByteArray("copy"));

        QCOMPARE(storage.store(QStringLiteral("key"), "value"),
                 std::optional<KeychainError>(
                     KeychainError::unhandledError(SecretStore::statusNoDefaultCollection)));
        QCOMPARE(defaults->value(QStringLiteral("key")).toByteArray(), QByteArray("copy"));
    }

    void noSecretService_data() {
        QTest::addColumn<bool>("withBus");
        QTest::newRow("bus without a keyring") << true;
        QTest::newRow("no bus at all") << false;
    }

    void noSecretService() {
        QFETCH(bool, withBus);
        PrivateSecretService keyring(PrivateSecretService::Keyring::none);
        QString address = QStringLiteral("unix:path=") + folder.filePath(QStringLiteral("no-such-bus"));
        if (withBus) {
            QVERIFY2(!keyring.busAddress().isEmpty(), qPrintable(keyring.failure()));
            address = keyring.busAddress();
        }
        SessionBusScope scope(address);
        SecretServiceStore secrets;
        KeychainAuthStorage storage(service, *defaults, secrets);
        defaults->setValue(QStringLiteral("key"), QByteArray("copy"));

        const KeychainError missing = KeychainError::unhandledError(SecretStore::statusNotAvailable);
        const auto read = storage.retrieve(QStringLiteral("key"));
        QVERIFY(std::holds_alternative<KeychainError>(read));
        QCOMPARE(std::get<KeychainError>(read), missing);
        QCOMPARE(defaults->value(QStringLiteral("key")).toByteArray(), QByteArray("copy"));
        QCOMPARE(storage.store(QStringLiteral("key"), "value"), std::optional<KeychainError>(missing));
        QCOMPARE(defaults->value(QStringLiteral("key")).toByteArray(), QByteArray("copy"));
        QCOMPARE(storage.remove(QStringLiteral("key")), std::optional<KeychainError>(missing));
    }

    void sessionSurvivesRestartAndSignOutRemovesIt() {
        HttpFixture server;
        QVERIFY(server.isListening());
        AppConfiguration configuration;
        configuration.supabaseURL = server.url(QStringLiteral("/"));
        configuration.supabaseAnonKey = QStringLiteral("anon-key");
        ManualScheduler scheduler;
        const qint64 now = scheduler.currentDateTime().toSecsSinceEpoch();
        auto secrets = std::make_shared<SecretServiceStore>();
        auto userDefaults =
            std::make_shared<QSettings>(folder.filePath(QStringLiteral("restart.ini")), QSettings::IniFormat);
        const QString key = SupabaseAuthClient::sessionStorageKey;
        secrets->remove(service, key);

        {
            AuthManager manager(configuration, {secrets, userDefaults, &scheduler, nullptr});
            QTRY_VERIFY(!manager.isLoading());
            QVERIFY(!manager.isAuthenticated());
            server.enqueue(
                QStringLiteral("/auth/v1/verify"),
                HttpFixtureReply::json(200, TestTokens::session(TestTokens::expiringAt(now + 3600),
                                                                QStringLiteral("refresh-1"), now + 3600)));
            QCoro::waitFor(manager.verifyOTP(QStringLiteral("user@example.com"), QStringLiteral("123456"),
                                             AuthLoginMethod::email));
            QCOMPARE(manager.authMessage(), std::optional<QString>(QStringLiteral("Login confirmed.")));
            QTRY_VERIFY(manager.isAuthenticated());
            QCOMPARE(itemCount(bus, key), 1);
        }

        {
            AuthManager restarted(configuration, {secrets, userDefaults, &scheduler, nullptr});
            QVERIFY(restarted.isLoading());
            QTRY_VERIFY(!restarted.isLoading());
            QVERIFY(restarted.isAuthenticated());
            QCOMPARE(restarted.currentUser()->email, QStringLiteral("user@example.com"));

            server.enqueue(QStringLiteral("/auth/v1/logout"), HttpFixtureReply::text(204, {}));
            QCoro::waitFor(restarted.signOut());
            QCOMPARE(restarted.authMessage(), std::optional<QString>(QStringLiteral("Signed out.")));
            QCOMPARE(itemCount(bus, key), 0);
        }

        AuthManager afterSignOut(configuration, {secrets, userDefaults, &scheduler, nullptr});
        QTRY_VERIFY(!afterSignOut.isLoading());
        QVERIFY(!afterSignOut.isAuthenticated());
    }
};

QTEST_GUILESS_MAIN(KeyringStorageTest)
#include "tst_keyring.moc"
