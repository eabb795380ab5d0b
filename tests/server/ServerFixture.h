#pragma once

#include "BackendServer.h"
#include "platform/fake/ManualScheduler.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QPair>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

// Speech made at run time with espeak-ng, and the grammar that covers it.
namespace SpeechFixtures {

// Sentences the grammar knows; espeak-ng speaks each so that the grammar decodes it exactly.
QStringList sentences();
// A JSGF grammar of one or more of sentences(), written into `dir`.
QString writeGrammar(const QString& dir);
// espeak-ng's WAV (22050 Hz mono); empty when espeak-ng is missing or fails.
QByteArray speak(const QString& text, const QString& dir);
// The WAV converted by sox to another rate and channel count; empty on failure.
QByteArray convert(const QByteArray& wav, int rate, int channels, const QString& dir);
// 16 kHz mono samples of a WAV as raw little-endian bytes (no header), via sox.
QByteArray pcm16k(const QByteArray& wav, const QString& dir);
QByteArray silence16k(int milliseconds);

} // namespace SpeechFixtures

struct HttpReply {
    int status = 0;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    QString error;
    QJsonObject json() const;
};

// voxlet-backend in the test's own process, on a free loopback port, with a private data folder and a
// clock the test moves. Grammar mode unless the configuration says otherwise.
class TestBackend {
public:
    static constexpr char tokenSecret[] = "test-secret-0123456789abcdef0123456789abcdef";
    static constexpr char anonKey[] = "test-anon-key";

    explicit TestBackend(std::function<void(BackendConfig&)> adjust = {});
    bool start(QString* error);
    bool ok() const { return m_started; }
    void restart();

    ManualScheduler& clock() { return m_clock; }
    BackendServer& server() { return *m_server; }
    QString dataDir() const { return m_data.path(); }
    QString workDir() const { return m_work.path(); }
    QUrl url(const QString& path) const;

    HttpReply request(const QByteArray& method, const QString& path, const QByteArray& body = {},
                      const QList<QPair<QByteArray, QByteArray>>& headers = {});
    // The request the sign-in client makes: apikey and JSON.
    HttpReply authRequest(const QByteArray& method, const QString& path, const QJsonObject& body,
                          const QByteArray& bearer = {});
    HttpReply backendRequest(const QByteArray& method, const QString& path, const QByteArray& body,
                             const QByteArray& token, const QByteArray& contentType = "application/json");

    // The code last written for a contact key ("email:a@b.c", "phone:+15551234567").
    QString codeFor(const QString& contactKey) const;
    // A full e-mail sign-in; the session JSON (access_token, refresh_token, user).
    QJsonObject signIn(const QString& email);

private:
    QTemporaryDir m_data;
    QTemporaryDir m_work;
    ManualScheduler m_clock;
    BackendConfig m_config;
    std::unique_ptr<BackendServer> m_server;
    QNetworkAccessManager m_network;
    bool m_started = false;
};
