#include "BackendConfig.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#ifndef VOXLET_RELEASE_VERSION
#define VOXLET_RELEASE_VERSION "0.0.0"
#endif
#ifndef VOXLET_RELEASE_BUILD
#define VOXLET_RELEASE_BUILD 0
#endif

namespace {

struct Option {
    const char* name; // command line (--name) and config file member (name with '_' for '-')
    const char* valueName;
    const char* help;
};

const Option options[] = {
    {"address", "ip", "Address to listen on (default 127.0.0.1)."},
    {"port", "n", "Port to listen on (default 8787; 0 = any free port)."},
    {"data-dir", "path", "Folder for users, sessions, one-time codes and the token secret."},
    {"token-secret", "text",
     "Secret that signs access tokens (default: made once, kept in the data folder)."},
    {"anon-key", "text", "Value the 'apikey' header of sign-in requests must have (empty: not checked)."},
    {"access-token-lifetime", "seconds", "Lifetime of access tokens (default 3600)."},
    {"refresh-token-lifetime", "seconds", "Lifetime of an unused session (default 30 days)."},
    {"otp-lifetime", "seconds", "Lifetime of one-time codes (default 300)."},
    {"model-dir", "path", "pocketsphinx model folder (default /usr/share/pocketsphinx/model/en-us)."},
    {"grammar", "file", "JSGF grammar to recognise with instead of the general language model."},
    {"max-recognizers", "n", "Speech decoders in use at once (default 4)."},
    {"chat-endpoint", "url", "OpenAI-compatible API base URL for formatting and translation."},
    {"chat-model", "name", "Model name sent to the chat endpoint."},
    {"chat-api-key", "key", "API key for the chat endpoint (or VOXLET_BACKEND_CHAT_API_KEY)."},
    {"release-version", "text", "Version of the release record served at api/version."},
    {"release-build", "n", "Build number of the release record."},
    {"release-url", "url", "Download address of the release record."},
    {"release-notes", "text", "Release notes of the release record."},
    {"max-body-bytes", "n", "Largest HTTP request body accepted."},
    {"max-message-bytes", "n", "Largest WebSocket message accepted."},
    {"max-chunk-bytes", "n", "Largest decoded audio chunk in one realtime message."},
    {"max-session-audio-seconds", "n", "Audio one realtime connection may send."},
    {"http-idle-timeout", "ms", "Idle HTTP connections are closed after this time."},
    {"websocket-idle-timeout", "ms", "Realtime connections without messages are closed after this time."},
};

bool toInteger(const QString& text, qint64 min, qint64 max, qint64* out) {
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool apply(BackendConfig& c, const QString& name, const QString& value, QString* error) {
    auto bad = [&](const QString& why) {
        *error = QStringLiteral("invalid value for %1: %2").arg(name, why);
        return false;
    };
    qint64 n = 0;
    auto integer = [&](qint64 min, qint64 max) {
        if (!toInteger(value, min, max, &n))
            return bad(QStringLiteral("expected a whole number from %1 to %2").arg(min).arg(max));
        return true;
    };
    constexpr qint64 big = qint64(1) << 40;
    if (name == QLatin1String("address")) {
        if (!c.address.setAddress(value))
            return bad(QStringLiteral("not an IP address"));
    } else if (name == QLatin1String("port")) {
        if (!integer(0, 65535))
            return false;
        c.port = quint16(n);
    } else if (name == QLatin1String("data-dir")) {
        c.dataDirectory = value;
    } else if (name == QLatin1String("token-secret")) {
        c.tokenSecret = value.toUtf8();
    } else if (name == QLatin1String("anon-key")) {
        c.anonKey = value;
    } else if (name == QLatin1String("access-token-lifetime")) {
        if (!integer(1, big))
            return false;
        c.accessTokenLifetimeSeconds = n;
    } else if (name == QLatin1String("refresh-token-lifetime")) {
        if (!integer(1, big))
            return false;
        c.refreshTokenLifetimeSeconds = n;
    } else if (name == QLatin1String("otp-lifetime")) {
        if (!integer(1, big))
            return false;
        c.otpLifetimeSeconds = n;
    } else if (name == QLatin1String("model-dir")) {
        c.modelDirectory = value;
    } else if (name == QLatin1String("grammar")) {
        c.grammarPath = value;
    } else if (name == QLatin1String("max-recognizers")) {
        if (!integer(1, 64))
            return false;
        c.maxRecognizers = int(n);
    } else if (name == QLatin1String("chat-endpoint")) {
        const QUrl url(value, QUrl::StrictMode);
        if (!value.isEmpty() && (!url.isValid() || (url.scheme() != QLatin1String("http") &&
                                                    url.scheme() != QLatin1String("https"))))
            return bad(QStringLiteral("not an http(s) URL"));
        c.chatEndpoint = value.isEmpty() ? QUrl() : url;
    } else if (name == QLatin1String("chat-model")) {
        c.chatModel = value;
    } else if (name == QLatin1String("chat-api-key")) {
        c.chatApiKey = value;
    } else if (name == QLatin1String("release-version")) {
        c.releaseVersion = value;
    } else if (name == QLatin1String("release-build")) {
        if (!integer(0, std::numeric_limits<qint64>::max()))
            return false;
        c.releaseBuild = n;
    } else if (name == QLatin1String("release-url")) {
        c.releaseDownloadUrl = value;
    } else if (name == QLatin1String("release-notes")) {
        c.releaseNotes = value;
        c.hasReleaseNotes = true;
    } else if (name == QLatin1String("max-body-bytes")) {
        if (!integer(1, big))
            return false;
        c.http.maxBodyBytes = n;
    } else if (name == QLatin1String("max-message-bytes")) {
        if (!integer(1024, big))
            return false;
        c.maxWebSocketMessageBytes = n;
    } else if (name == QLatin1String("max-chunk-bytes")) {
        if (!integer(2, big))
            return false;
        c.maxChunkAudioBytes = n;
    } else if (name == QLatin1String("max-session-audio-seconds")) {
        if (!integer(1, big))
            return false;
        c.maxSessionAudioSeconds = n;
    } else if (name == QLatin1String("http-idle-timeout")) {
        if (!integer(10, 24LL * 3600 * 1000))
            return false;
        c.http.idleTimeoutMs = int(n);
    } else if (name == QLatin1String("websocket-idle-timeout")) {
        if (!integer(10, 24LL * 3600 * 1000))
            return false;
        c.webSocketIdleTimeoutMs = int(n);
    } else {
        *error = QStringLiteral("unknown setting %1").arg(name);
        return false;
    }
    return true;
}

bool applyFile(BackendConfig& c, const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read config file %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        *error =
            QStringLiteral("config file %1 is not a JSON object: %2").arg(path, parseError.errorString());
        return false;
    }
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        QString name = it.key();
        name.replace(QLatin1Char('_'), QLatin1Char('-'));
        QString value;
        if (it.value().isString())
            value = it.value().toString();
        else if (it.value().isDouble())
            value = QString::number(qint64(it.value().toDouble()));
        else {
            *error = QStringLiteral("config file %1: %2 must be a string or a number").arg(path, it.key());
            return false;
        }
        if (!apply(c, name, value, error)) {
            *error = QStringLiteral("config file %1: %2").arg(path, *error);
            return false;
        }
    }
    return true;
}

} // namespace

QString BackendConfig::defaultDataDirectory() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/voxlet-backend");
}

std::optional<BackendConfig> BackendConfig::fromArguments(const QStringList& arguments, QString* error,
                                                          QString* helpText) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Local Voxlet backend and sign-in service."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("JSON file with the settings below "
                                                   "(members with '_' for '-')."),
                                    QStringLiteral("file"));
    parser.addOption(help);
    parser.addOption(config);
    for (const Option& o : options)
        parser.addOption(QCommandLineOption(QString::fromLatin1(o.name), QString::fromLatin1(o.help),
                                            QString::fromLatin1(o.valueName)));
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(help)) {
        if (helpText)
            *helpText = parser.helpText();
        error->clear();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().constFirst());
        return std::nullopt;
    }

    BackendConfig c;
    c.releaseVersion = QStringLiteral(VOXLET_RELEASE_VERSION);
    c.releaseBuild = VOXLET_RELEASE_BUILD;
    c.chatApiKey = qEnvironmentVariable("VOXLET_BACKEND_CHAT_API_KEY");
    if (parser.isSet(config) && !applyFile(c, parser.value(config), error))
        return std::nullopt;
    for (const Option& o : options) {
        const QString name = QString::fromLatin1(o.name);
        if (parser.isSet(name) && !apply(c, name, parser.value(name), error))
            return std::nullopt;
    }
    if (c.dataDirectory.isEmpty())
        c.dataDirectory = defaultDataDirectory();
    if (c.releaseDownloadUrl.isEmpty())
        c.releaseDownloadUrl = QStringLiteral("http://%1:%2/downloads/Voxlet-%3-linux-x86_64.tar.gz")
                                   .arg(c.address.protocol() == QAbstractSocket::IPv6Protocol
                                            ? QLatin1Char('[') + c.address.toString() + QLatin1Char(']')
                                            : c.address.toString())
                                   .arg(c.port)
                                   .arg(c.releaseVersion);
    return c;
}
