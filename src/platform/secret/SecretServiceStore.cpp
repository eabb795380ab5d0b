#include "platform/secret/SecretServiceStore.h"

#include "dictation/AppLog.h"

#include <libsecret/secret.h>

#include <memory>

namespace {

const SecretSchema* voxletSchema() {
    static const SecretSchema schema = {
        "com.voxlet.auth",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &schema;
}

struct GObjectDeleter {
    void operator()(gpointer object) const {
        if (object)
            g_object_unref(object);
    }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectDeleter>;

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() {
        if (error)
            g_error_free(error);
    }
    GError** out() {
        if (error) {
            g_error_free(error);
            error = nullptr;
        }
        return &error;
    }
    QString message() const {
        return error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error");
    }
};

struct AttributeTable {
    GHashTable* table;
    QByteArray service;
    QByteArray account;
    AttributeTable(const QString& serviceName, const QString& accountName)
        : table(g_hash_table_new(g_str_hash, g_str_equal))
        , service(serviceName.toUtf8())
        , account(accountName.toUtf8()) {
        g_hash_table_insert(table, const_cast<char*>("service"), service.data());
        g_hash_table_insert(table, const_cast<char*>("account"), account.data());
    }
    ~AttributeTable() { g_hash_table_unref(table); }
    AttributeTable(const AttributeTable&) = delete;
    AttributeTable& operator=(const AttributeTable&) = delete;
};

SecretStore::Status statusFor(const GError* error) {
    if (!error)
        return SecretStore::statusInternalFailure;
    if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED)
        return SecretStore::statusLocked;
    if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_NO_SUCH_OBJECT)
        return SecretStore::statusNoDefaultCollection;
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_FILE_NOT_FOUND:
        case G_DBUS_ERROR_ADDRESS_IN_USE:
        case G_DBUS_ERROR_BAD_ADDRESS:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FORK_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        case G_DBUS_ERROR_SPAWN_NO_MEMORY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
            return SecretStore::statusNotAvailable;
        default:
            break;
        }
    }
    if (error->domain == G_IO_ERROR)
        return SecretStore::statusNotAvailable;
    return SecretStore::statusInternalFailure;
}

void logFailure(const char* what, SecretStore::Status status, const QString& reason) {
    appLog(QStringLiteral("SecretServiceStore: Could not %1 (status %2): %3")
               .arg(QString::fromLatin1(what))
               .arg(status)
               .arg(reason));
}

// The Secret Service on the chosen bus, or the status that says why there is none.
struct Connection {
    GObjectPtr<SecretService> service;
    SecretStore::Status status = SecretStore::statusSuccess;
};

Connection openService(const char* purpose) {
    ErrorHolder error;
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    if (!bus) {
        logFailure(purpose, SecretStore::statusNotAvailable,
                   QStringLiteral("no session bus: ") + error.message());
        return {nullptr, SecretStore::statusNotAvailable};
    }

    // Without an owner of the service name the calls below would start a keyring daemon through
    // bus activation, or wait for one; neither belongs in a quick read.
    {
        GVariant* reply = g_dbus_connection_call_sync(
            bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, error.out());
        gboolean hasOwner = FALSE;
        if (reply) {
            g_variant_get(reply, "(b)", &hasOwner);
            g_variant_unref(reply);
        }
        if (!hasOwner) {
            // A service that can be activated on demand is still fine.
            GVariant* activatable = g_dbus_connection_call_sync(
                bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000,
                nullptr, nullptr);
            bool canActivate = false;
            if (activatable) {
                GVariantIter* names = nullptr;
                g_variant_get(activatable, "(as)", &names);
                const gchar* name = nullptr;
                while (g_variant_iter_next(names, "&s", &name))
                    canActivate = canActivate || g_strcmp0(name, "org.freedesktop.secrets") == 0;
                g_variant_iter_free(names);
                g_variant_unref(activatable);
            }
            if (!canActivate) {
                logFailure(purpose, SecretStore::statusNotAvailable,
                           QStringLiteral("no Secret Service on the session bus"));
                return {nullptr, SecretStore::statusNotAvailable};
            }
        }
    }

    SecretService* service =
        secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, error.out());
    if (!service) {
        const auto status = statusFor(error.error);
        logFailure(purpose, status, error.message());
        return {nullptr, status};
    }
    return {GObjectPtr<SecretService>(service), SecretStore::statusSuccess};
}

enum class CollectionState { unlocked, locked, missing, unknown };

// The default collection, where new items go and where a locked keyring hides existing ones.
CollectionState defaultCollectionState(SecretService* service, QString* reason) {
    GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(service));
    ErrorHolder error;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                  "org.freedesktop.Secret.Service", "ReadAlias",
                                                  g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"),
                                                  G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, error.out());
    if (!reply) {
        *reason = error.message();
        return CollectionState::unknown;
    }
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    const QByteArray collectionPath(path);
    g_variant_unref(reply);
    if (collectionPath.isEmpty() || collectionPath == "/")
        return CollectionState::missing;

    reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", collectionPath.constData(), "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, error.out());
    if (!reply) {
        *reason = error.message();
        return CollectionState::unknown;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const bool locked = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    return locked ? CollectionState::locked : CollectionState::unlocked;
}

struct ItemList {
    GList* items = nullptr;
    ~ItemList() { g_list_free_full(items, g_object_unref); }
};

} // namespace

SecretStore::ReadResult SecretServiceStore::read(const QString& service, const QString& account) {
    const char* purpose = "read the keyring item";
    Connection connection = openService(purpose);
    if (!connection.service)
        return {connection.status, std::nullopt};

    AttributeTable attributes(service, account);
    ErrorHolder error;
    ItemList found;
    // Locked items are listed too (but not unlocked, which could prompt): they are the ones libsecret
    // would silently leave out.
    found.items = secret_service_search_sync(
        connection.service.get(), voxletSchema(), attributes.table,
        SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr, error.out());
    if (error.error) {
        const auto status = statusFor(error.error);
        logFailure(purpose, status, error.message());
        return {status, std::nullopt};
    }

    SecretItem* readable = nullptr;
    for (GList* node = found.items; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (secret_item_get_locked(item)) {
            logFailure(purpose, statusLocked, QStringLiteral("the collection that holds it is locked"));
            return {statusLocked, std::nullopt};
        }
        if (!readable)
            readable = item;
    }

    if (!readable) {
        QString reason;
        const CollectionState state = defaultCollectionState(connection.service.get(), &reason);
        if (state == CollectionState::locked) {
            logFailure(purpose, statusLocked, QStringLiteral("the default collection is locked"));
            return {statusLocked, std::nullopt};
        }
        if (state == CollectionState::unknown) {
            logFailure(purpose, statusInternalFailure,
                       QStringLiteral("could not tell whether the default collection is locked: ") + reason);
            return {statusInternalFailure, std::nullopt};
        }
        return {statusItemNotFound, std::nullopt};
    }

    SecretValue* secret = secret_item_get_secret(readable);
    if (!secret && !secret_item_load_secret_sync(readable, nullptr, error.out())) {
        const auto status = statusFor(error.error);
        logFailure(purpose, status, error.message());
        return {status, std::nullopt};
    }
    if (!secret)
        secret = secret_item_get_secret(readable);
    if (!secret) {
        logFailure(purpose, statusInternalFailure, QStringLiteral("the item has no value"));
        return {statusInternalFailure, std::nullopt};
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(secret, &length);
    const QByteArray text(bytes, qsizetype(length));
    secret_value_unref(secret);

    auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        logFailure(purpose, statusDecode, QStringLiteral("the stored value is not Base64 text"));
        return {statusDecode, std::nullopt};
    }
    return {statusSuccess, *decoded};
}

SecretStore::Status SecretServiceStore::add(const QString& service, const QString& account,
                                            const QByteArray& value) {
    const char* purpose = "store the keyring item";
    Connection connection = openService(purpose);
    if (!connection.service)
        return connection.status;

    // Asking a locked or missing collection to take an item may pop up a password prompt or a
    // "create keyring" dialog out of a background renewal; refuse instead.
    QString reason;
    switch (defaultCollectionState(connection.service.get(), &reason)) {
    case CollectionState::unlocked:
        break;
    case CollectionState::locked:
        logFailure(purpose, statusLocked, QStringLiteral("the default collection is locked"));
        return statusLocked;
    case CollectionState::missing:
        logFailure(purpose, statusNoDefaultCollection,
                   QStringLiteral("the keyring has no default collection"));
        return statusNoDefaultCollection;
    case CollectionState::unknown:
        logFailure(purpose, statusInternalFailure,
                   QStringLiteral("could not read the default collection: ") + reason);
        return statusInternalFailure;
    }

    AttributeTable attributes(service, account);
    const QByteArray text = value.toBase64();
    SecretValue* secret = secret_value_new(text.constData(), text.size(), "text/plain");
    const QByteArray label = (service + QStringLiteral(" ") + account).toUtf8();
    ErrorHolder error;
    const gboolean stored =
        secret_service_store_sync(connection.service.get(), voxletSchema(), attributes.table,
                                  SECRET_COLLECTION_DEFAULT, label.constData(), secret, nullptr, error.out());
    secret_value_unref(secret);
    if (!stored) {
        const auto status = statusFor(error.error);
        logFailure(purpose, status, error.message());
        return status;
    }
    return statusSuccess;
}

SecretStore::Status SecretServiceStore::remove(const QString& service, const QString& account) {
    const char* purpose = "remove the keyring item";
    Connection connection = openService(purpose);
    if (!connection.service)
        return connection.status;

    AttributeTable attributes(service, account);
    ErrorHolder error;
    ItemList found;
    found.items = secret_service_search_sync(connection.service.get(), voxletSchema(), attributes.table,
                                             SECRET_SEARCH_ALL, nullptr, error.out());
    if (error.error) {
        const auto status = statusFor(error.error);
        logFailure(purpose, status, error.message());
        return status;
    }
    if (!found.items) {
        QString reason;
        const CollectionState state = defaultCollectionState(connection.service.get(), &reason);
        if (state == CollectionState::locked) {
            logFailure(purpose, statusLocked, QStringLiteral("the default collection is locked"));
            return statusLocked;
        }
        return statusItemNotFound;
    }
    for (GList* node = found.items; node; node = node->next) {
        if (secret_item_get_locked(static_cast<SecretItem*>(node->data))) {
            logFailure(purpose, statusLocked, QStringLiteral("the collection that holds it is locked"));
            return statusLocked;
        }
    }
    if (!secret_service_clear_sync(connection.service.get(), voxletSchema(), attributes.table, nullptr,
                                   error.out())) {
        if (!error.error)
            return statusItemNotFound;
        const auto status = statusFor(error.error);
        logFailure(purpose, status, error.message());
        return status;
    }
    return statusSuccess;
}
