#include "ServerFixture.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QProcess>
#include <QTimer>

namespace SpeechFixtures {

QStringList sentences() {
    return {QStringLiteral("hello world this is a test"),
            QStringLiteral("please send the report before friday"),
            QStringLiteral("the meeting starts at nine tomorrow"),
            QStringLiteral("remind me to call my sister"),
            QStringLiteral("open the window and turn off the lights"),
            QStringLiteral("we need more coffee in the kitchen"),
            QStringLiteral("thank you for your help")};
}

QString writeGrammar(const QString& dir) {
    const QString path = QDir(dir).filePath(QStringLiteral("sentences.jsgf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("#JSGF V1.0;\ngrammar dictation;\npublic <utterance> = <sentence>+;\n<sentence> = ");
    file.write(sentences().join(QStringLiteral(" | ")).toUtf8());
    file.write(";\n");
    return path;
}

namespace {

QByteArray run(const QString& program, const QStringList& args, const QString& output) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    QFile file(output);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int counter = 0;

QString scratch(const QString& dir, const char* suffix) {
    return QDir(dir).filePath(QStringLiteral("fixture-%1%2").arg(++counter).arg(QLatin1String(suffix)));
}

} // namespace

QByteArray speak(const QString& text, const QString& dir) {
    const QString out = scratch(dir, ".wav");
    return run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), out, text}, out);
}

QByteArray convert(const QByteArray& wav, int rate, int channels, const QString& dir) {
    const QString in = scratch(dir, ".wav");
    const QString out = scratch(dir, ".wav");
    QFile file(in);
    if (!file.open(QIODevice::WriteOnly) || file.write(wav) != wav.size())
        return {};
    file.close();
    return run(QStringLiteral("sox"),
               {in, QStringLiteral("-r"), QString::number(rate), QStringLiteral("-c"),
                QString::number(channels), out},
               out);
}

QByteArray pcm16k(const QByteArray& wav, const QString& dir) {
    const QString in = scratch(dir, ".wav");
    const QString out = scratch(dir, ".raw");
    QFile file(in);
    if (!file.open(QIODevice::WriteOnly) || file.write(wav) != wav.size())
        return {};
    file.close();
    return run(QStringLiteral("sox"),
               {in, QStringLiteral("-r"), QStringLiteral("16000"), QStringLiteral("-c"), QStringLiteral("1"),
                QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-e"),
                QStringLiteral("signed-integer"), QStringLiteral("-L"), QStringLiteral("-t"),
                QStringLiteral("raw"), out},
               out);
}

QByteArray silence16k(int milliseconds) {
    return QByteArray(16 * 2 * milliseconds, '\0');
}

} // namespace SpeechFixtures

QJsonObject HttpReply::json() const {
    return QJsonDocument::fromJson(body).object();
}

TestBackend::TestBackend(std::function<void(BackendConfig&)> adjust) {
    m_config.address = QHostAddress::LocalHost;
    m_config.port = 0;
    m_config.dataDirectory = m_data.path();
    m_config.tokenSecret = tokenSecret;
    m_config.anonKey = QString::fromLatin1(anonKey);
    m_config.grammarPath = SpeechFixtures::writeGrammar(m_work.path());
    m_config.maxRecognizers = 3;
    m_config.releaseVersion = QStringLiteral("1.2.3");
    m_config.releaseBuild = 42;
    m_config.releaseDownloadUrl = QStringLiteral("http://127.0.0.1/Voxlet-1.2.3-linux-x86_64.tar.gz");
    if (adjust)
        adjust(m_config);
}

bool TestBackend::start(QString* error) {
    m_server = std::make_unique<BackendServer>(m_config, m_clock);
    m_started = m_server->start(error);
    return m_started;
}

void TestBackend::restart() {
    m_server.reset();
    QString error;
    start(&error);
}

QUrl TestBackend::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server->port()).arg(path));
}

HttpReply TestBackend::request(const QByteArray& method, const QString& path, const QByteArray& body,
                               const QList<QPair<QByteArray, QByteArray>>& headers) {
    QNetworkRequest request(url(path));
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    request.setTransferTimeout(60000);
    QNetworkReply* reply = m_network.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    HttpReply result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    for (const auto& pair : reply->rawHeaderPairs())
        result.headers.append({pair.first.toLower(), pair.second});
    if (reply->error() != QNetworkReply::NoError && result.status == 0)
        result.error = reply->errorString();
    reply->deleteLater();
    return result;
}

HttpReply TestBackend::authRequest(const QByteArray& method, const QString& path, const QJsonObject& body,
                                   const QByteArray& bearer) {
    QList<QPair<QByteArray, QByteArray>> headers{{"apikey", anonKey}, {"Content-Type", "application/json"}};
    if (!bearer.isEmpty())
        headers.append({"Authorization", "Bearer " + bearer});
    return request(method, path,
                   body.isEmpty() && method == "GET" ? QByteArray() : QJsonDocument(body).toJson(), headers);
}

HttpReply TestBackend::backendRequest(const QByteArray& method, const QString& path, const QByteArray& body,
                                      const QByteArray& token, const QByteArray& contentType) {
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!token.isEmpty()) {
        headers.append({"Authorization", "Bearer " + token});
        headers.append({"X-Voxlet-Authorization", "Bearer " + token});
    }
    if (method == "POST")
        headers.append({"Content-Type", contentType});
    return request(method, path, body, headers);
}

QString TestBackend::codeFor(const QString& contactKey) const {
    QFile file(m_server->codesFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll())
        .object()
        .value(contactKey)
        .toObject()
        .value(QStringLiteral("code"))
        .toString();
}

QJsonObject TestBackend::signIn(const QString& email) {
    if (authRequest("POST", QStringLiteral("/auth/v1/otp"), {{QStringLiteral("email"), email}}).status != 200)
        return {};
    const QString code = codeFor(QStringLiteral("email:") + email);
    const HttpReply reply = authRequest("POST", QStringLiteral("/auth/v1/verify"),
                                        {{QStringLiteral("email"), email},
                                         {QStringLiteral("token"), code},
                                         {QStringLiteral("type"), QStringLiteral("email")}});
    return reply.status == 200 ? reply.json() : QJsonObject();
}
