#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>
#include <utility>

// The message vocabulary of the realtime transcription proxy, in both directions: the client encodes
// audio and commit messages and decodes the proxy's events; the local backend decodes what clients send
// and encodes the events. Pure functions, so both sides agree byte for byte.
namespace RealtimeProtocol {

// Rate of the 16-bit mono PCM carried in `audio_base_64`.
inline constexpr int wireSampleRate = 16000;
// Close code for ending or replacing a connection.
inline constexpr int normalClosureCode = 1000;
// Longest wait for the answer to the opening (upgrade) request.
inline constexpr std::chrono::milliseconds openingRequestTimeout{30000};

inline constexpr char inputAudioChunkType[] = "input_audio_chunk";
inline constexpr char sessionStartedType[] = "session_started";
inline constexpr char partialTranscriptType[] = "partial_transcript";
inline constexpr char committedTranscriptType[] = "committed_transcript";
inline constexpr char committedTranscriptWithTimestampsType[] = "committed_transcript_with_timestamps";
inline constexpr char inputAudioBufferType[] = "input_audio_buffer";
inline constexpr char unknownErrorMessage[] = "Unknown realtime error";

// ---- client side ---------------------------------------------------------------------------------

// The WebSocket address under `baseURL`: ws/wss, base path + "/ai/realtime", the base's query items in
// order, then no_verbatim=true (unless the base names it) and access_token last; no fragment. Nothing
// when the base URL is empty or cannot be parsed.
std::optional<QUrl> endpointURL(const QUrl& baseURL, const QString& accessToken);

// The opening (upgrade) request: address, headers and the time-out the client enforces itself.
struct OpeningRequest {
    QUrl url;
    QList<std::pair<QByteArray, QByteArray>> headers;
    std::chrono::milliseconds timeout = openingRequestTimeout;
};
// Both authorization headers carry "Bearer <token>". Nothing when endpointURL gives nothing.
std::optional<OpeningRequest> openingRequest(const QUrl& baseURL, const QString& accessToken);

// One `input_audio_chunk` text frame with 16 kHz PCM bytes, commit false.
QString encodeAudioChunk(const QByteArray& pcm16k);
// The end-of-speech marker: `input_audio_chunk` with empty `audio_base_64` and commit true.
QString encodeCommit();
QString encodeInputAudioChunk(const QByteArray& pcm16k, bool commit);

// Every type ending in "error", and the named failure types of the service.
bool isErrorType(const QString& type);

// An event from the proxy, reduced to the members the client reads.
struct ServerMessage {
    enum class Kind {
        SessionStarted,
        PartialTranscript,
        CommittedTranscript,
        InputAudioBuffer,
        Error,
        Other
    };

    Kind kind = Kind::Other;
    // `message_type`, else `type` when `message_type` is not a string, else empty.
    QString type;
    // `text` of transcript messages, when it is a string.
    std::optional<QString> text;
    // For error types: the `error` member, or "Unknown realtime error".
    QString errorMessage;
    // `config` of "session_started"; undefined when absent.
    QJsonValue config = QJsonValue(QJsonValue::Undefined);

    // `config` as log text: "nil" when absent, a string as it is, anything else as compact JSON.
    QString configDescription() const;
};
// Nothing when the text is not JSON or its top level is not an object.
std::optional<ServerMessage> decodeServerMessage(const QString& text);
// A binary frame's UTF-8 text; nothing when it is not valid UTF-8.
std::optional<QString> textOfBinaryFrame(const QByteArray& frame);

// ---- server side ---------------------------------------------------------------------------------

// What a client sent, checked: `message_type` must be "input_audio_chunk", `audio_base_64` a string of
// valid Base64 (empty allowed), `commit` a boolean (false when absent), `sample_rate` a number when
// present.
struct ClientMessage {
    QByteArray audio;
    bool commit = false;
    std::optional<double> sampleRate;
};
struct ClientMessageDecoding {
    std::optional<ClientMessage> message;
    // Why the text was refused, when `message` is empty.
    QString error;
};
ClientMessageDecoding decodeClientMessage(const QString& text);

// "Bearer <token>" to the token; nothing for any other header value or an empty token.
std::optional<QString> bearerToken(const QByteArray& authorizationHeader);
// The `access_token` query item of an endpoint address.
std::optional<QString> accessTokenOfEndpoint(const QUrl& url);

QString encodeSessionStarted(const QJsonObject& config);
QString encodePartialTranscript(const QString& text);
QString encodeCommittedTranscript(const QString& text, bool withTimestamps = false);
QString encodeInputAudioBuffer();
// `type` should satisfy isErrorType.
QString encodeError(const QString& type, const QString& message);
// Any event: {"message_type": type} plus `members`.
QString encodeServerMessage(const QString& type, const QJsonObject& members = {});

} // namespace RealtimeProtocol
