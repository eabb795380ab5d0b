#include "realtime/RealtimeProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>
#include <QStringDecoder>
#include <QUrlQuery>

namespace RealtimeProtocol {

namespace {

const QString noVerbatimName = QStringLiteral("no_verbatim");
const QString accessTokenName = QStringLiteral("access_token");

QString compactJson(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString stripSlashes(const QString& path) {
    qsizetype from = 0;
    qsizetype to = path.size();
    while (from < to && path.at(from) == u'/')
        ++from;
    while (to > from && path.at(to - 1) == u'/')
        --to;
    return path.mid(from, to - from);
}

ServerMessage::Kind kindOf(const QString& type) {
    using Kind = ServerMessage::Kind;
    if (type == QLatin1String(sessionStartedType))
        return Kind::SessionStarted;
    if (type == QLatin1String(partialTranscriptType))
        return Kind::PartialTranscript;
    if (type == QLatin1String(committedTranscriptType) ||
        type == QLatin1String(committedTranscriptWithTimestampsType))
        return Kind::CommittedTranscript;
    if (type == QLatin1String(inputAudioBufferType))
        return Kind::InputAudioBuffer;
    if (isErrorType(type))
        return Kind::Error;
    return Kind::Other;
}

} // namespace

std::optional<QUrl> endpointURL(const QUrl& baseURL, const QString& accessToken) {
    if (baseURL.isEmpty() || !baseURL.isValid())
        return std::nullopt;

    QUrl url = baseURL;
    url.setScheme(baseURL.scheme() == QLatin1String("https") ? QStringLiteral("wss") : QStringLiteral("ws"));

    const QString inner = stripSlashes(baseURL.path(QUrl::FullyEncoded));
    url.setPath(inner.isEmpty() ? QStringLiteral("/ai/realtime")
                                : u'/' + inner + QStringLiteral("/ai/realtime"),
                QUrl::TolerantMode);

    // The base query is kept as written, so its items stay in order and keep their own encoding.
    QString query = baseURL.query(QUrl::FullyEncoded);
    bool namesNoVerbatim = false;
    const auto items = QUrlQuery(baseURL).queryItems(QUrl::FullyDecoded);
    for (const auto& item : items)
        namesNoVerbatim = namesNoVerbatim || item.first == noVerbatimName;
    auto appendItem = [&query](const QString& name, const QString& value) {
        if (!query.isEmpty())
            query += u'&';
        query += name + u'=' + QString::fromLatin1(QUrl::toPercentEncoding(value));
    };
    if (!namesNoVerbatim)
        appendItem(noVerbatimName, QStringLiteral("true"));
    appendItem(accessTokenName, accessToken);
    url.setQuery(query, QUrl::StrictMode);

    url.setFragment(QString());
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<OpeningRequest> openingRequest(const QUrl& baseURL, const QString& accessToken) {
    auto url = endpointURL(baseURL, accessToken);
    if (!url)
        return std::nullopt;
    const QByteArray bearer = "Bearer " + accessToken.toUtf8();
    OpeningRequest request;
    request.url = *url;
    request.headers = {{QByteArrayLiteral("Authorization"), bearer},
                       {QByteArrayLiteral("X-Voxlet-Authorization"), bearer}};
    return request;
}

namespace {

// Standard Base64 with padding, written straight into UTF-16 so the message needs no second pass.
char16_t* appendBase64(char16_t* out, const QByteArray& bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    for (; i + 3 <= size; i += 3) {
        const unsigned triple = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | unsigned(in[i + 2]);
        *out++ = char16_t(alphabet[(triple >> 18) & 63]);
        *out++ = char16_t(alphabet[(triple >> 12) & 63]);
        *out++ = char16_t(alphabet[(triple >> 6) & 63]);
        *out++ = char16_t(alphabet[triple & 63]);
    }
    if (const qsizetype rest = size - i; rest > 0) {
        const unsigned triple = (unsigned(in[i]) << 16) | (rest == 2 ? unsigned(in[i + 1]) << 8 : 0u);
        *out++ = char16_t(alphabet[(triple >> 18) & 63]);
        *out++ = char16_t(alphabet[(triple >> 12) & 63]);
        *out++ = rest == 2 ? char16_t(alphabet[(triple >> 6) & 63]) : u'=';
        *out++ = u'=';
    }
    return out;
}

template <qsizetype N> char16_t* appendLatin1(char16_t* out, const char (&text)[N]) {
    for (qsizetype i = 0; i + 1 < N; ++i)
        *out++ = char16_t(text[i]);
    return out;
}

} // namespace

QString encodeInputAudioChunk(const QByteArray& pcm16k, bool commit) {
    // Written by hand: Base64 needs no JSON escaping, and the capture thread encodes every chunk.
    static constexpr char head[] = "{\"message_type\":\"input_audio_chunk\",\"audio_base_64\":\"";
    static constexpr char commitTail[] = "\",\"commit\":true,\"sample_rate\":16000}";
    static constexpr char audioTail[] = "\",\"commit\":false,\"sample_rate\":16000}";
    const qsizetype base64Size = (pcm16k.size() + 2) / 3 * 4;
    const qsizetype tailSize = commit ? qsizetype(sizeof(commitTail) - 1) : qsizetype(sizeof(audioTail) - 1);

    QString message(qsizetype(sizeof(head) - 1) + base64Size + tailSize, Qt::Uninitialized);
    auto* out = reinterpret_cast<char16_t*>(message.data());
    out = appendLatin1(out, head);
    out = appendBase64(out, pcm16k);
    out = commit ? appendLatin1(out, commitTail) : appendLatin1(out, audioTail);
    Q_ASSERT(out == reinterpret_cast<const char16_t*>(message.constData()) + message.size());
    return message;
}

QString encodeAudioChunk(const QByteArray& pcm16k) {
    return encodeInputAudioChunk(pcm16k, false);
}

QString encodeCommit() {
    return encodeInputAudioChunk(QByteArray(), true);
}

bool isErrorType(const QString& type) {
    static const QSet<QString> named = {
        QStringLiteral("error"),
        QStringLiteral("auth_error"),
        QStringLiteral("quota_exceeded"),
        QStringLiteral("rate_limited"),
        QStringLiteral("commit_throttled"),
        QStringLiteral("queue_overflow"),
        QStringLiteral("resource_exhausted"),
        QStringLiteral("session_time_limit_exceeded"),
        QStringLiteral("chunk_size_exceeded"),
        QStringLiteral("insufficient_audio_activity"),
        QStringLiteral("input_error"),
        QStringLiteral("transcriber_error"),
        QStringLiteral("unaccepted_terms"),
    };
    return type.endsWith(QLatin1String("error")) || named.contains(type);
}

QString ServerMessage::configDescription() const {
    switch (config.type()) {
    case QJsonValue::Undefined:
        return QStringLiteral("nil");
    case QJsonValue::String:
        return config.toString();
    case QJsonValue::Object:
        return compactJson(config.toObject());
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(config.toArray()).toJson(QJsonDocument::Compact));
    default: {
        // Scalars are written as they appear inside a JSON array, without the brackets.
        const QString wrapped =
            QString::fromUtf8(QJsonDocument(QJsonArray{config}).toJson(QJsonDocument::Compact));
        return wrapped.mid(1, wrapped.size() - 2);
    }
    }
}

std::optional<ServerMessage> decodeServerMessage(const QString& text) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    ServerMessage message;
    const QJsonValue messageType = object.value(QLatin1String("message_type"));
    const QJsonValue type = object.value(QLatin1String("type"));
    if (messageType.isString())
        message.type = messageType.toString();
    else if (type.isString())
        message.type = type.toString();
    message.kind = kindOf(message.type);

    const QJsonValue textValue = object.value(QLatin1String("text"));
    if (textValue.isString())
        message.text = textValue.toString();
    if (message.kind == ServerMessage::Kind::Error) {
        const QJsonValue error = object.value(QLatin1String("error"));
        message.errorMessage = error.isString() ? error.toString() : QString::fromLatin1(unknownErrorMessage);
    }
    if (message.kind == ServerMessage::Kind::SessionStarted)
        message.config = object.value(QLatin1String("config"));
    return message;
}

std::optional<QString> textOfBinaryFrame(const QByteArray& frame) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(frame);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

ClientMessageDecoding decodeClientMessage(const QString& text) {
    auto refuse = [](const QString& why) { return ClientMessageDecoding{std::nullopt, why}; };

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return refuse(QStringLiteral("not JSON: ") + parseError.errorString());
    if (!document.isObject())
        return refuse(QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();

    const QJsonValue messageType = object.value(QLatin1String("message_type"));
    if (messageType.toString() != QLatin1String(inputAudioChunkType))
        return refuse(QStringLiteral("message_type is not input_audio_chunk"));

    const QJsonValue audio = object.value(QLatin1String("audio_base_64"));
    if (!audio.isString())
        return refuse(QStringLiteral("audio_base_64 is not a string"));
    auto decoded =
        QByteArray::fromBase64Encoding(audio.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return refuse(QStringLiteral("audio_base_64 is not valid Base64"));

    const QJsonValue commit = object.value(QLatin1String("commit"));
    if (!commit.isUndefined() && !commit.isBool())
        return refuse(QStringLiteral("commit is not a boolean"));

    const QJsonValue sampleRate = object.value(QLatin1String("sample_rate"));
    if (!sampleRate.isUndefined() && !sampleRate.isDouble())
        return refuse(QStringLiteral("sample_rate is not a number"));

    ClientMessage message;
    message.audio = std::move(*decoded);
    message.commit = commit.toBool(false);
    if (sampleRate.isDouble())
        message.sampleRate = sampleRate.toDouble();
    return ClientMessageDecoding{std::move(message), QString()};
}

std::optional<QString> bearerToken(const QByteArray& authorizationHeader) {
    static constexpr char prefix[] = "Bearer ";
    if (!authorizationHeader.startsWith(prefix))
        return std::nullopt;
    const QString token = QString::fromUtf8(authorizationHeader.mid(qsizetype(sizeof(prefix) - 1)));
    if (token.isEmpty())
        return std::nullopt;
    return token;
}

std::optional<QString> accessTokenOfEndpoint(const QUrl& url) {
    const QUrlQuery query(url);
    if (!query.hasQueryItem(accessTokenName))
        return std::nullopt;
    return query.queryItemValue(accessTokenName, QUrl::FullyDecoded);
}

QString encodeServerMessage(const QString& type, const QJsonObject& members) {
    QJsonObject object = members;
    object.insert(QLatin1String("message_type"), type);
    return compactJson(object);
}

QString encodeSessionStarted(const QJsonObject& config) {
    return encodeServerMessage(QLatin1String(sessionStartedType), {{QLatin1String("config"), config}});
}

QString encodePartialTranscript(const QString& text) {
    return encodeServerMessage(QLatin1String(partialTranscriptType), {{QLatin1String("text"), text}});
}

QString encodeCommittedTranscript(const QString& text, bool withTimestamps) {
    return encodeServerMessage(
        QLatin1String(withTimestamps ? committedTranscriptWithTimestampsType : committedTranscriptType),
        {{QLatin1String("text"), text}});
}

QString encodeInputAudioBuffer() {
    return encodeServerMessage(QLatin1String(inputAudioBufferType));
}

QString encodeError(const QString& type, const QString& message) {
    return encodeServerMessage(type, {{QLatin1String("error"), message}});
}

} // namespace RealtimeProtocol
