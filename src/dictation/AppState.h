#pragma once

#include "account/AuthManager.h"
#include "backend/AccessTokenProvider.h"
#include "dictation/AIFormatPreset.h"
#include "dictation/DictationContext.h"
#include "dictation/DictationMode.h"
#include "dictation/SupportedLanguage.h"
#include "dictation/TranscriptionCoordinator.h"
#include "platform/Scheduler.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class AIFormatterService;
class AudioCaptureDevice;
class AudioManager;
class ElevenLabsRealtimeService;
class KeyboardManager;
class KeyboardSink;
class OpenAITranscriptionService;
class QSettings;
class Workspace;

// Owns every dictation from the press of a shortcut to the typed text: the observable state the views
// draw, the user's mode, style and language, and the services that record, transcribe, format and type.
// Lives on the GUI thread; only the audio forwarder it installs runs on the capture thread.
//
// Dictations may overlap: one can start while the previous one is still being finalised. The newest
// dictation owns the observable state and the indicator; an earlier one still finishes and types its
// own text into its own application, keeping its own realtime session until it is done.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)
    Q_PROPERTY(QString transcript READ transcript NOTIFY transcriptChanged)
    Q_PROPERTY(float audioLevel READ audioLevel NOTIFY audioLevelChanged)
    Q_PROPERTY(QList<qreal> audioLevelHistory READ audioLevelHistoryValues NOTIFY audioLevelChanged)
    Q_PROPERTY(
        QString targetLanguage READ targetLanguage WRITE setTargetLanguage NOTIFY targetLanguageChanged)
    Q_PROPERTY(QString aiFormatPreset READ aiFormatPresetRawValue WRITE setAIFormatPresetRawValue NOTIFY
                   aiFormatPresetChanged)
    Q_PROPERTY(QString dictationMode READ dictationModeRawValue NOTIFY dictationModeChanged)
    Q_PROPERTY(QVariantMap selectedLanguage READ selectedLanguageValue NOTIFY targetLanguageChanged)

public:
    static constexpr int levelHistoryLength = 8;
    static constexpr Scheduler::Duration finalizationDelay{10};
    static constexpr Scheduler::Duration connectionFailureDisplay{3000};
    static inline const QString notConfiguredMessage =
        QStringLiteral("Voxlet is not configured in Info.plist yet.");
    static inline const QString signedOutMessage =
        QStringLiteral("Por favor, entre em sua conta ou registre-se para começar a usar o Voxlet.");

    // The platform behind the dictation. Empty members take the program's own: the standard user
    // defaults and the event-loop scheduler; configuration absent means loading the program's own.
    struct Environment {
        std::unique_ptr<AudioCaptureDevice> captureDevice;
        std::shared_ptr<KeyboardSink> keyboardSink;
        std::shared_ptr<Workspace> workspace;
        AuthManager::Environment auth;
        std::optional<std::optional<AppConfiguration>> configuration;
        std::shared_ptr<QSettings> userDefaults;
        Scheduler* scheduler = nullptr;
    };

    explicit AppState(Environment environment, QObject* parent = nullptr);
    ~AppState() override;

    // Starts a dictation in the current mode. False when nothing records; authManager's authError
    // (or the log) says why.
    bool startDictation();
    // Ends the recording and, a moment later, hands it to the finalisation of its mode.
    void stopDictation();
    // Resets the newest dictation's state and asks for the indicator to be hidden.
    void endSession();

    // Hides the recording indicator. Installed by the application shell.
    std::function<void()> onCloseRequested;

    bool isRecording() const { return recording; }
    bool isProcessing() const { return processing; }
    const QString& transcript() const { return transcriptText; }
    float audioLevel() const { return level; }
    const std::array<float, levelHistoryLength>& audioLevelHistory() const { return levelHistory; }
    const QString& targetLanguage() const { return language; }
    AIFormatPreset aiFormatPreset() const { return preset; }
    DictationMode dictationMode() const { return mode; }
    SupportedLanguage selectedLanguage() const { return SupportedLanguages::selected(language); }
    const QList<SupportedLanguage>& supportedLanguages() const { return SupportedLanguages::all(); }

    // Chosen by the user; stored at once.
    void setTargetLanguage(const QString& code);
    void setAIFormatPreset(AIFormatPreset value);
    // Set by the application shell just before startDictation.
    void setDictationMode(DictationMode value);

    AuthManager& authManager() const { return *auth; }
    AudioManager& audioManager() const { return *audio; }
    ElevenLabsRealtimeService& realtimeService() const { return *coordinator.cloudRealtimeService; }
    OpenAITranscriptionService& openAITranscription() const { return *batch; }
    AIFormatterService& aiFormatter() const { return *formatter; }
    KeyboardManager& keyboardManager() const { return *keyboard; }
    const TranscriptionCoordinator& transcriptionCoordinator() const { return coordinator; }
    Scheduler& scheduler() const { return clock; }

    const std::optional<RunningApplication>& previousApp() const { return frontApp; }
    const std::optional<Scheduler::TimePoint>& recordingStartedAt() const { return startedAt; }
    bool recordingWasInterrupted() const { return interrupted; }

    // For the finalisations: each acts on the observable state only while its dictation is the newest.
    bool isCurrentDictation(quint64 dictation) const { return dictation == latestDictation; }
    void endSession(quint64 dictation);
    void showTranscript(quint64 dictation, const QString& text);
    void showProcessing(quint64 dictation, bool value);
    void queueProcessing(quint64 dictation, bool value);
    // Drops the kept recording unless a newer dictation is recording into it.
    void discardRecording(quint64 dictation);
    // A finalisation is done with the realtime session it was given.
    void releaseRealtimeSession(ElevenLabsRealtimeService* service);
    // Posts `action` to run on the GUI thread after the current call, while this object lives.
    void post(std::function<void()> action);

Q_SIGNALS:
    void isRecordingChanged();
    void isProcessingChanged();
    void transcriptChanged();
    void audioLevelChanged();
    void targetLanguageChanged();
    void aiFormatPresetChanged();
    void dictationModeChanged();
    // A finalisation has done all it will do (typed or not).
    void dictationFinished(quint64 dictation, bool typed);

private:
    ElevenLabsRealtimeService* createRealtimeService();
    ElevenLabsRealtimeService* realtimeServiceForNewDictation();
    void installAudioForwarder(ElevenLabsRealtimeService* service);
    void startFinalization(quint64 dictation);
    void handleAudioLevel(float value);
    void handleRecordingInterrupted();
    void handleConnectionFailure(ElevenLabsRealtimeService* service, const QString& message);
    void resetLevels();
    void setRecording(bool value);
    void setProcessing(bool value);
    void setTranscript(const QString& text);
    AccessTokenProvider tokenProvider();

    QList<qreal> audioLevelHistoryValues() const;
    QString aiFormatPresetRawValue() const { return AIFormatPresets::rawValue(preset); }
    void setAIFormatPresetRawValue(const QString& raw);
    QString dictationModeRawValue() const { return DictationModes::rawValue(mode); }
    QVariantMap selectedLanguageValue() const;

    Scheduler& clock;
    std::shared_ptr<QSettings> userDefaults;

    bool recording = false;
    bool processing = false;
    QString transcriptText;
    float level = 0;
    std::array<float, levelHistoryLength> levelHistory{};
    QString language;
    AIFormatPreset preset = AIFormatPreset::clean;
    DictationMode mode = DictationMode::flash;

    AuthManager* auth = nullptr;
    AudioManager* audio = nullptr;
    OpenAITranscriptionService* batch = nullptr;
    AIFormatterService* formatter = nullptr;
    std::unique_ptr<KeyboardManager> keyboard;
    TranscriptionCoordinator coordinator;
    // Realtime sessions a finalisation still needs; a new dictation never reuses them.
    QList<ElevenLabsRealtimeService*> heldRealtimeSessions;
    // Which dictation each realtime client serves, for its failure messages.
    QHash<const ElevenLabsRealtimeService*, quint64> realtimeDictation;

    std::optional<RunningApplication> frontApp;
    std::optional<Scheduler::TimePoint> startedAt;
    bool interrupted = false;
    quint64 latestDictation = 0;
};
