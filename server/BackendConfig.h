#pragma once

#include "HttpLimits.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// Everything voxlet-backend can be told, from its command line and an optional JSON config file
// (command-line options win). Defaults give a working local service on 127.0.0.1:8787.
struct BackendConfig {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8787;
    QString dataDirectory;
    QByteArray tokenSecret;                                    // empty: made once and kept in the data folder
    QString anonKey = QStringLiteral("voxlet-local-anon-key"); // the "apikey" header; empty = not checked
    qint64 accessTokenLifetimeSeconds = 3600;
    qint64 refreshTokenLifetimeSeconds = 30LL * 24 * 3600;
    qint64 otpLifetimeSeconds = 300;
    int otpMaxAttempts = 5;

    QString modelDirectory; // empty: the Debian en-us model
    QString grammarPath;    // a JSGF grammar instead of the general language model
    int maxRecognizers = 4; // decoders in use at once (each holds its model in memory)

    QUrl chatEndpoint; // an OpenAI-compatible API base (…/v1); empty = the local rule-based formatter
    QString chatModel = QStringLiteral("gpt-4o-mini");
    QString chatApiKey;
    int chatTimeoutSeconds = 30;

    QString releaseVersion;
    qint64 releaseBuild = 0;
    QString releaseDownloadUrl;
    QString releaseNotes;
    bool hasReleaseNotes = false;

    HttpLimits http;
    qint64 maxWebSocketMessageBytes = 2 * 1024 * 1024;
    qint64 maxChunkAudioBytes = 16000 * 2 * 10; // ten seconds of 16 kHz audio in one message
    qint64 maxSessionAudioSeconds = 30 * 60;
    int webSocketIdleTimeoutMs = 60'000;

    static QString defaultDataDirectory();

    // Nothing, with the reason in `error`, for unknown or invalid options and unreadable config files.
    // `helpText` receives the usage text when --help is given (the result is then nothing, error empty).
    static std::optional<BackendConfig> fromArguments(const QStringList& arguments, QString* error,
                                                      QString* helpText = nullptr);
};
