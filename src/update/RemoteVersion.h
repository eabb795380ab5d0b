#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The release record the backend offers at "api/version".
struct RemoteVersion {
    QString version;  // display version, never compared
    qint64 build = 0; // the only value compared
    QString downloadURL;
    std::optional<QString> releaseNotes;

    // From the JSON object {"version", "build", "download_url", optional "release_notes"}; other
    // members are ignored. Nothing, with `error` saying why, when the body is not such an object.
    static std::optional<RemoteVersion> decode(const QByteArray& body, QString* error = nullptr);
};
