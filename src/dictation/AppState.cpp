#include "dictation/AppState.h"

#include "audio/AudioManager.h"
#include "backend/AIFormatterService.h"
#include "backend/OpenAITranscriptionService.h"
#include "dictation/AppLog.h"
#include "dictation/DictationPreferences.h"
#include "dictation/FlashFinalization.h"
#include "dictation/ProFinalization.h"
#include "dictation/TextHelpers.h"
#include "output/KeyboardManager.h"
#include "platform/AudioCaptureDevice.h"
#include "realtime/ElevenLabsRealtimeService.h"

#include <QPointer>
#include <QSettings>

namespace {

QCoro::Task<std::optional<QString>> accessTokenFrom(QPointer<AuthManager> auth) {
    if (!auth)
        co_return std::nullopt;
    co_return co_await auth->validAccessToken();
}

QCoro::Task<> checkSession(QPointer<AuthManager> auth) {
    if (!auth)
        co_return;
    const bool valid = co_await auth->ensureValidSession();
    if (!valid)
        appLog(QStringLiteral("AppState: Session refresh failed — dictation may fail"));
}

} // namespace

AppState::AppState(Environment environment, QObject* parent)
    : QObject(parent)
    , clock(environment.scheduler ? *environment.scheduler : Scheduler::shared())
    , userDefaults(environment.userDefaults ? environment.userDefaults : std::make_shared<QSettings>()) {
    language = DictationPreferences::restoreLanguage(*userDefaults);
    preset = DictationPreferences::restoreStyle(*userDefaults);

    AuthManager::Environment authEnvironment = environment.auth;
    if (!authEnvironment.userDefaults)
        authEnvironment.userDefaults = userDefaults;
    if (!authEnvironment.scheduler)
        authEnvironment.scheduler = &clock;
    auth = environment.configuration ? new AuthManager(*environment.configuration, authEnvironment, this)
                                     : new AuthManager(authEnvironment, this);

    mode = DictationPreferences::restoreMode(*userDefaults);

    audio = new AudioManager(std::move(environment.captureDevice), this);
    batch = new OpenAITranscriptionService(clock, this);
    batch->timeoutSeconds = 60;
    formatter = new AIFormatterService(clock, this);
    keyboard = std::make_unique<KeyboardManager>(environment.keyboardSink, environment.workspace, clock);

    coordinator.cloudBatchService = batch;
    coordinator.cloudRealtimeService = createRealtimeService();

    const std::optional<QUrl> apiBaseURL =
        auth->configuration ? auth->configuration->apiBaseURL : std::optional<QUrl>();
    batch->apiBaseURL = apiBaseURL;
    batch->accessTokenProvider = tokenProvider();
    formatter->configure(apiBaseURL, tokenProvider());

    audio->requestPermission([](bool) {});
    audio->onAudioLevelChanged = [self = QPointer<AppState>(this)](float value) {
        if (self)
            self->handleAudioLevel(value);
    };
    audio->onRecordingInterrupted = [self = QPointer<AppState>(this)] {
        if (self)
            self->handleRecordingInterrupted();
    };
}

AppState::~AppState() {
    // The capture thread must be done with the realtime client before the client goes.
    audio->onAudioDataReceived = nullptr;
    audio->stopRecording();
}

AccessTokenProvider AppState::tokenProvider() {
    return [auth = QPointer<AuthManager>(auth)] { return accessTokenFrom(auth); };
}

ElevenLabsRealtimeService* AppState::createRealtimeService() {
    auto* service = new ElevenLabsRealtimeService(clock, this);
    // A session made for an overlapping dictation goes where the first one does.
    service->proxyBaseURL =
        coordinator.cloudRealtimeService
            ? coordinator.cloudRealtimeService->proxyBaseURL
            : (auth->configuration ? auth->configuration->apiBaseURL : std::optional<QUrl>());
    service->accessTokenProvider = tokenProvider();
    service->onConnectionFailed = [self = QPointer<AppState>(this),
                                   session =
                                       QPointer<ElevenLabsRealtimeService>(service)](const QString& message) {
        if (self)
            self->post([self, session, message] {
                if (self)
                    self->handleConnectionFailure(session.data(), message);
            });
    };
    return service;
}

ElevenLabsRealtimeService* AppState::realtimeServiceForNewDictation() {
    // An earlier dictation may still be waiting for its final transcript on the current session;
    // reconnecting it would throw that text away, so the new dictation gets a session of its own.
    if (heldRealtimeSessions.contains(coordinator.cloudRealtimeService))
        coordinator.cloudRealtimeService = createRealtimeService();
    return coordinator.cloudRealtimeService;
}

void AppState::releaseRealtimeSession(ElevenLabsRealtimeService* service) {
    heldRealtimeSessions.removeOne(service);
    if (service != coordinator.cloudRealtimeService && !heldRealtimeSessions.contains(service)) {
        realtimeDictation.remove(service);
        service->deleteLater();
    }
}

void AppState::post(std::function<void()> action) {
    clock.schedule(Scheduler::Duration(0), this, std::move(action));
}

bool AppState::startDictation() {
    if (!auth->configuration || !auth->supabase()) {
        auth->setAuthError(notConfiguredMessage);
        return false;
    }
    if (!auth->isAuthenticated()) {
        auth->setAuthError(signedOutMessage);
        return false;
    }

    frontApp = keyboard->frontmostApplication();
    startedAt = clock.now();
    interrupted = false;
    appLog(QStringLiteral("AppState: Captured frontmost application for dictation"));

    checkSession(QPointer<AuthManager>(auth));

    const std::optional<double> sampleRate = audio->startRecording(true);
    if (!sampleRate) {
        appLog(QStringLiteral("AppState: Dictation aborted because audio capture could not start"));
        setRecording(false);
        startedAt.reset();
        resetLevels();
        return false;
    }

    const quint64 dictation = ++latestDictation;
    post([this] {
        setRecording(true);
        setProcessing(false);
        resetLevels();
        setTranscript(QString());
    });

    if (DictationModes::streamsAudio(mode)) {
        ElevenLabsRealtimeService* service = realtimeServiceForNewDictation();
        realtimeDictation.insert(service, dictation);
        // The posted update may run after a finished dictation's session has been let go.
        service->onTranscriptionDelta = [self = QPointer<AppState>(this),
                                         session = QPointer<ElevenLabsRealtimeService>(service),
                                         dictation](const QString&) {
            if (!self)
                return;
            self->post([self, session, dictation] {
                if (self && session)
                    self->showTranscript(dictation, TextHelpers::trimmed(session->accumulatedTranscript()));
            });
        };
        service->connect(*sampleRate);
        installAudioForwarder(service);
    } else {
        // A Pro dictation streams nothing: no forwarder, and no session left open from a streaming
        // start of the same recording.
        audio->onAudioDataReceived = nullptr;
        ElevenLabsRealtimeService* service = coordinator.cloudRealtimeService;
        if (!heldRealtimeSessions.contains(service) && service->isConnected())
            service->disconnect();
    }
    return true;
}

void AppState::installAudioForwarder(ElevenLabsRealtimeService* service) {
    // Runs on the capture thread and touches nothing but the client's thread-safe sendAudio. The
    // forwarder is removed before the client can go (at release, interruption, destruction).
    audio->onAudioDataReceived = [service](const QByteArray& chunk) { service->sendAudio(chunk); };
}

void AppState::stopDictation() {
    if (!recording)
        return;
    post([this] { setRecording(false); });
    DictationPreferences::storeMode(*userDefaults, mode);

    const quint64 dictation = latestDictation;
    clock.schedule(finalizationDelay, this, [self = QPointer<AppState>(this), dictation] {
        if (!self || !self->isCurrentDictation(dictation))
            return;
        if (self->interrupted || !self->audio->isRecording())
            return;
        self->resetLevels();
        self->audio->stopRecording();
        self->audio->onAudioDataReceived = nullptr;
        self->startFinalization(dictation);
    });
}

void AppState::startFinalization(quint64 dictation) {
    DictationContext context;
    context.dictation = dictation;
    context.mode = mode;
    context.preset = preset;
    context.targetLanguage = language;
    context.previousApp = frontApp;
    context.recordingStartedAt = startedAt;

    switch (mode) {
    case DictationMode::flash:
    case DictationMode::flashTranslate: {
        ElevenLabsRealtimeService* service = coordinator.cloudRealtimeService;
        heldRealtimeSessions.append(service);
        (new FlashFinalization(*this, *service, context))->start();
        break;
    }
    case DictationMode::pro:
        (new ProFinalization(*this, context))->start();
        break;
    case DictationMode::proTranslate:
        // No shortcut selects it, so no recording can end in it.
        endSession(dictation);
        break;
    }
}

void AppState::endSession() {
    endSession(latestDictation);
}

void AppState::endSession(quint64 dictation) {
    post([self = QPointer<AppState>(this), dictation] {
        if (!self || !self->isCurrentDictation(dictation))
            return;
        self->setTranscript(QString());
        self->startedAt.reset();
        self->interrupted = false;
        if (self->onCloseRequested)
            self->onCloseRequested();
    });
}

void AppState::showTranscript(quint64 dictation, const QString& text) {
    if (isCurrentDictation(dictation))
        setTranscript(text);
}

void AppState::showProcessing(quint64 dictation, bool value) {
    if (isCurrentDictation(dictation))
        setProcessing(value);
}

void AppState::queueProcessing(quint64 dictation, bool value) {
    post([this, dictation, value] { showProcessing(dictation, value); });
}

void AppState::discardRecording(quint64 dictation) {
    if (isCurrentDictation(dictation) && !audio->isRecording())
        audio->clearAudioBuffer();
}

void AppState::handleAudioLevel(float value) {
    level = value;
    std::move(levelHistory.begin() + 1, levelHistory.end(), levelHistory.begin());
    levelHistory.back() = value;
    Q_EMIT audioLevelChanged();
}

void AppState::handleRecordingInterrupted() {
    appLog(QStringLiteral("AppState: Audio recording interrupted by a CoreAudio reconfiguration"));
    interrupted = true;
    setRecording(false);
    setProcessing(false);
    resetLevels();
    audio->onAudioDataReceived = nullptr;
    audio->clearAudioBuffer();
    ElevenLabsRealtimeService* service = coordinator.cloudRealtimeService;
    if (!heldRealtimeSessions.contains(service))
        service->disconnect();
    endSession(latestDictation);
}

void AppState::handleConnectionFailure(ElevenLabsRealtimeService* service, const QString& message) {
    appLog(QStringLiteral("AppState: Realtime connection failed — ") + message);
    const quint64 dictation = realtimeDictation.value(service, 0);
    if (!isCurrentDictation(dictation))
        return; // an earlier dictation's session: its finalisation goes on with what it has
    setTranscript(QStringLiteral("⚠️ ") + message);
    setRecording(false);
    setProcessing(false);
    if (audio->isRecording()) {
        audio->onAudioDataReceived = nullptr;
        audio->stopRecording();
    }
    clock.schedule(connectionFailureDisplay, this, [self = QPointer<AppState>(this), dictation] {
        if (self)
            self->endSession(dictation);
    });
}

void AppState::resetLevels() {
    level = 0;
    levelHistory.fill(0);
    Q_EMIT audioLevelChanged();
}

void AppState::setRecording(bool value) {
    if (recording == value)
        return;
    recording = value;
    Q_EMIT isRecordingChanged();
}

void AppState::setProcessing(bool value) {
    if (processing == value)
        return;
    processing = value;
    Q_EMIT isProcessingChanged();
}

void AppState::setTranscript(const QString& text) {
    if (transcriptText == text)
        return;
    transcriptText = text;
    Q_EMIT transcriptChanged();
}

void AppState::setTargetLanguage(const QString& code) {
    DictationPreferences::storeLanguage(*userDefaults, code);
    if (language == code)
        return;
    language = code;
    Q_EMIT targetLanguageChanged();
}

void AppState::setAIFormatPreset(AIFormatPreset value) {
    DictationPreferences::storeStyle(*userDefaults, value);
    if (preset == value)
        return;
    preset = value;
    Q_EMIT aiFormatPresetChanged();
}

void AppState::setDictationMode(DictationMode value) {
    if (mode == value)
        return;
    mode = value;
    Q_EMIT dictationModeChanged();
}

QList<qreal> AppState::audioLevelHistoryValues() const {
    return QList<qreal>(levelHistory.begin(), levelHistory.end());
}

void AppState::setAIFormatPresetRawValue(const QString& raw) {
    if (const auto value = AIFormatPresets::fromRawValue(raw))
        setAIFormatPreset(*value);
}

QVariantMap AppState::selectedLanguageValue() const {
    const SupportedLanguage selected = selectedLanguage();
    return {{QStringLiteral("code"), selected.code},
            {QStringLiteral("flag"), selected.flag},
            {QStringLiteral("name"), selected.name}};
}
