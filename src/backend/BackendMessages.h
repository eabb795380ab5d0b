#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The JSON bodies exchanged with the backend. Member names are written and read exactly as the
// backend spells them. Requests encode to compact JSON and leave absent optional members out.
// Responses decode strictly: a body that is not a JSON object, a missing required member, or a member
// of the wrong type gives nothing and a description in `error`; members not named here are ignored.

struct TranscriptionResponse {
    QString transcript; // "transcript"

    static std::optional<TranscriptionResponse> decode(const QByteArray& body, QString* error);
};

struct CapabilitiesResponse {
    QString formattingProvider;             // "formatting_provider"
    std::optional<QString> formattingModel; // "formatting_model"
    bool supportsAudioFormatting = false;   // "supports_audio_formatting"

    static std::optional<CapabilitiesResponse> decode(const QByteArray& body, QString* error);
};

struct FormatterRequest {
    QString input;                       // "input"
    std::optional<QString> customPrompt; // "custom_prompt"

    QByteArray encode() const;
};

struct AudioFormatRequest {
    QString audioBase64;                 // "audio_base64"
    QString mimeType;                    // "mime_type"
    std::optional<QString> customPrompt; // "custom_prompt"

    QByteArray encode() const;
};

struct FormatterResponse {
    QString text; // "text"

    static std::optional<FormatterResponse> decode(const QByteArray& body, QString* error);
};

struct TranslateRequest {
    QString input;          // "input"
    QString targetLanguage; // "target_language"

    QByteArray encode() const;
};

struct TranslateResponse {
    QString text;                          // "text"
    std::optional<QString> targetLanguage; // "targetLanguage", read but not used by the client

    static std::optional<TranslateResponse> decode(const QByteArray& body, QString* error);
};
