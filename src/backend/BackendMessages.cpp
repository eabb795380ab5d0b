#include "backend/BackendMessages.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

// Reads members of one response object and remembers the first reason the body is unusable.
class StrictObject {
public:
    StrictObject(const QByteArray& body, QString* error)
        : error(error) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
        if (parseError.error != QJsonParseError::NoError)
            fail(QStringLiteral("The response is not valid JSON (%1 at offset %2).")
                     .arg(parseError.errorString())
                     .arg(parseError.offset));
        else if (!document.isObject())
            fail(QStringLiteral("The response is not a JSON object."));
        else
            object = document.object();
    }

    QString requiredString(const QString& name) {
        if (!ok)
            return {};
        const QJsonValue value = object.value(name);
        if (value.isUndefined() || value.isNull()) {
            fail(QStringLiteral("The response lacks the required member \"%1\".").arg(name));
            return {};
        }
        if (!value.isString()) {
            fail(QStringLiteral("The response member \"%1\" is not a string.").arg(name));
            return {};
        }
        return value.toString();
    }

    bool requiredBool(const QString& name) {
        if (!ok)
            return false;
        const QJsonValue value = object.value(name);
        if (value.isUndefined() || value.isNull()) {
            fail(QStringLiteral("The response lacks the required member \"%1\".").arg(name));
            return false;
        }
        if (!value.isBool()) {
            fail(QStringLiteral("The response member \"%1\" is not a Boolean.").arg(name));
            return false;
        }
        return value.toBool();
    }

    // null counts as absent, any other type is a fault.
    std::optional<QString> optionalString(const QString& name) {
        if (!ok)
            return std::nullopt;
        const QJsonValue value = object.value(name);
        if (value.isUndefined() || value.isNull())
            return std::nullopt;
        if (!value.isString()) {
            fail(QStringLiteral("The response member \"%1\" is not a string.").arg(name));
            return std::nullopt;
        }
        return value.toString();
    }

    bool isValid() const { return ok; }

private:
    void fail(const QString& reason) {
        if (!ok)
            return;
        ok = false;
        if (error)
            *error = reason;
    }

    QString* error;
    QJsonObject object;
    bool ok = true;
};

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

std::optional<TranscriptionResponse> TranscriptionResponse::decode(const QByteArray& body, QString* error) {
    StrictObject reader(body, error);
    TranscriptionResponse response{reader.requiredString(QStringLiteral("transcript"))};
    if (!reader.isValid())
        return std::nullopt;
    return response;
}

std::optional<CapabilitiesResponse> CapabilitiesResponse::decode(const QByteArray& body, QString* error) {
    StrictObject reader(body, error);
    CapabilitiesResponse response;
    response.formattingProvider = reader.requiredString(QStringLiteral("formatting_provider"));
    response.formattingModel = reader.optionalString(QStringLiteral("formatting_model"));
    response.supportsAudioFormatting = reader.requiredBool(QStringLiteral("supports_audio_formatting"));
    if (!reader.isValid())
        return std::nullopt;
    return response;
}

QByteArray FormatterRequest::encode() const {
    QJsonObject object{{QStringLiteral("input"), input}};
    if (customPrompt)
        object.insert(QStringLiteral("custom_prompt"), *customPrompt);
    return compact(object);
}

QByteArray AudioFormatRequest::encode() const {
    QJsonObject object{{QStringLiteral("audio_base64"), audioBase64},
                       {QStringLiteral("mime_type"), mimeType}};
    if (customPrompt)
        object.insert(QStringLiteral("custom_prompt"), *customPrompt);
    return compact(object);
}

std::optional<FormatterResponse> FormatterResponse::decode(const QByteArray& body, QString* error) {
    StrictObject reader(body, error);
    FormatterResponse response{reader.requiredString(QStringLiteral("text"))};
    if (!reader.isValid())
        return std::nullopt;
    return response;
}

QByteArray TranslateRequest::encode() const {
    return compact({{QStringLiteral("input"), input}, {QStringLiteral("target_language"), targetLanguage}});
}

std::optional<TranslateResponse> TranslateResponse::decode(const QByteArray& body, QString* error) {
    StrictObject reader(body, error);
    TranslateResponse response;
    response.text = reader.requiredString(QStringLiteral("text"));
    response.targetLanguage = reader.optionalString(QStringLiteral("targetLanguage"));
    if (!reader.isValid())
        return std::nullopt;
    return response;
}
