#include "PrivateSecretService.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QUuid>

namespace {

const QString secretsName = QStringLiteral("org.freedesktop.secrets");

// A connection of its own per call, so nothing is cached across buses that come and go.
struct BusConnection {
    QString name = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QDBusConnection connection;
    explicit BusConnection(const QString& address)
        : connection(QDBusConnection::connectToBus(address, name)) {}
    ~BusConnection() { QDBusConnection::disconnectFromBus(name); }
};

} // namespace

PrivateSecretService::PrivateSecretService(Keyring kind) {
    if (!folder.isValid()) {
        problem = QStringLiteral("no temporary folder");
        return;
    }
    if (!startBus())
        return;
    if (kind != Keyring::none && !startKeyring(kind == Keyring::unlocked))
        address.clear();
}

PrivateSecretService::~PrivateSecretService() {
    for (QProcess* process : {&keyring, &bus}) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }
}

bool PrivateSecretService::startBus() {
    const QString config = folder.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        problem = QStringLiteral("cannot write the bus configuration");
        return false;
    }
    // No <servicedir>: nothing can be activated, so a missing keyring stays missing.
    file.write(
        QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                       "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                       "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                       "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                       "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
            .arg(folder.path())
            .toUtf8());
    file.close();

    bus.setProgram(QStringLiteral("dbus-daemon"));
    bus.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                      QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
    bus.start();
    if (!bus.waitForStarted(5000)) {
        problem = QStringLiteral("dbus-daemon did not start: ") + bus.errorString();
        return false;
    }
    QByteArray line;
    QDeadlineTimer deadline(5000);
    while (!line.contains('\n') && !deadline.hasExpired()) {
        bus.waitForReadyRead(100);
        line += bus.readAllStandardOutput();
    }
    address = QString::fromUtf8(line).trimmed();
    if (address.isEmpty()) {
        problem = QStringLiteral("dbus-daemon printed no address: ") +
                  QString::fromUtf8(bus.readAllStandardError());
        return false;
    }
    return true;
}

bool PrivateSecretService::startKeyring(bool unlock) {
    const QString home = folder.filePath(QStringLiteral("home"));
    for (const char* sub : {"home", "runtime", "config", "data", "cache"})
        QDir(folder.path()).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(folder.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), folder.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), folder.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    environment.remove(QStringLiteral("DISPLAY"));
    keyring.setProcessEnvironment(environment);
    keyring.setProgram(QStringLiteral("gnome-keyring-daemon"));
    QStringList arguments{QStringLiteral("--foreground"), QStringLiteral("--components=secrets")};
    if (unlock)
        arguments << QStringLiteral("--unlock");
    keyring.setArguments(arguments);
    keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    keyring.start();
    if (!keyring.waitForStarted(5000)) {
        problem = QStringLiteral("gnome-keyring-daemon did not start: ") + keyring.errorString();
        return false;
    }
    if (unlock)
        keyring.write("pw");
    keyring.closeWriteChannel();

    BusConnection connection(address);
    const bool ready = QTest::qWaitFor(
        [&] {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
            call << secretsName;
            const QDBusReply<bool> owned = connection.connection.call(call);
            if (!owned.isValid() || !owned.value())
                return false;
            if (!unlock)
                return true;
            QDBusMessage get = QDBusMessage::createMethodCall(
                secretsName, QStringLiteral("/org/freedesktop/secrets/aliases/default"),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
            get << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
            const QDBusReply<QDBusVariant> locked = connection.connection.call(get);
            return locked.isValid() && !locked.value().variant().toBool();
        },
        10000);
    if (!ready) {
        problem = QStringLiteral("gnome-keyring-daemon did not come up on the private bus");
        return false;
    }
    return true;
}

bool PrivateSecretService::lockDefaultCollection() {
    BusConnection connection(address);
    QDBusMessage alias = QDBusMessage::createMethodCall(
        secretsName, QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"));
    alias << QStringLiteral("default");
    const QDBusReply<QDBusObjectPath> path = connection.connection.call(alias);
    if (!path.isValid())
        return false;
    QDBusMessage lock = QDBusMessage::createMethodCall(
        secretsName, QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
    lock << QVariant::fromValue(QList<QDBusObjectPath>{path.value()});
    const QDBusMessage reply = connection.connection.call(lock);
    return reply.type() == QDBusMessage::ReplyMessage;
}
