#include "account/AuthSession.h"
#include "account/SupabaseAuthClient.h"
#include "audio/AudioManager.h"
#include "backend/AIFormatterService.h"
#include "dictation/AppLog.h"
#include "dictation/AppState.h"
#include "dictation/FlashFinalization.h"
#include "platform/fake/FakeWorkspace.h"
#include "platform/fake/InMemorySecretStore.h"
#include "platform/fake/ManualScheduler.h"
#include "platform/fake/RecordingKeyboardSink.h"
#include "platform/fake/RecordingSystemLog.h"
#include "platform/fake/ScriptedAudioCaptureDevice.h"
#include "realtime/ElevenLabsRealtimeService.h"
#include "support/HttpFixture.h"
#include "support/ScriptedRealtimeProxy.h"
#include "support/TestTokens.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const RunningApplication editor{42, 4242, QStringLiteral("Editor"), QStringLiteral("notes.txt")};

} // namespace

// Whole dictations through the session controller: a scripted microphone, the real backend and
// realtime clients against loopback servers, a recording keyboard, and a clock that moves only when
// the test moves it.
class AppStateTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ManualScheduler> clock;
    std::unique_ptr<HttpFixture> http;
    std::unique_ptr<ScriptedRealtimeProxy> proxy;
    std::shared_ptr<InMemorySecretStore> secrets;
    std::shared_ptr<RecordingKeyboardSink> keys;
    std::shared_ptr<FakeWorkspace> workspace;
    std::shared_ptr<RecordingSystemLog> log;
    ScriptedAudioCaptureDevice* microphone = nullptr;
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<AppState> state;
    QList<Scheduler::TimePoint> closeRequests;

    AppConfiguration configuration() const {
        AppConfiguration value;
        value.supabaseURL = http->url(QStringLiteral("/"));
        value.supabaseAnonKey = QStringLiteral("anon");
        value.apiBaseURL = http->url(QStringLiteral("/api/"));
        return value;
    }

    void storeSignedInSession() {
        const qint64 expiresAt = clock->currentDateTime().toSecsSinceEpoch() + 3600;
        const auto session = AuthSession::fromJson(
            TestTokens::session(TestTokens::expiringAt(expiresAt), QStringLiteral("refresh-1"), expiresAt),
            clock->currentDateTime());
        QVERIFY(session);
        secrets->add(AuthManager::keychainService, SupabaseAuthClient::sessionStorageKey,
                     session->toStoredBytes());
    }

    // Builds the controller; `signedIn` stores a session first, `configured` gives it the services.
    void createState(bool signedIn = true, bool configured = true) {
        if (signedIn)
            storeSignedInSession();
        auto device = std::make_unique<ScriptedAudioCaptureDevice>();
        microphone = device.get();
        AppState::Environment environment;
        environment.captureDevice = std::move(device);
        environment.keyboardSink = keys;
        environment.workspace = workspace;
        environment.auth.secretStore = secrets;
        environment.configuration =
            configured ? std::optional<AppConfiguration>(configuration()) : std::nullopt;
        environment.userDefaults = std::make_shared<QSettings>(
            folder->filePath(QStringLiteral("Voxlet.conf")), QSettings::IniFormat);
        environment.scheduler = clock.get();
        state = std::make_unique<AppState>(std::move(environment));
        state->realtimeService().proxyBaseURL = proxy->baseURL();
        state->audioManager().warmUpPause = [](std::chrono::milliseconds) {};
        state->aiFormatter().timeoutSeconds = 5;
        state->aiFormatter().audioFormatTimeoutSeconds = 5;
        state->aiFormatter().translateTimeoutSeconds = 5;
        state->onCloseRequested = [this] { closeRequests << clock->now(); };
        QVERIFY(waitFor([&] { return !state->authManager().isLoading(); }));
        QCOMPARE(state->authManager().isAuthenticated(), signedIn && configured);
    }

    // Runs the event loop (and whatever is due on the manual clock) until `condition` holds.
    template <typename Condition> bool waitFor(Condition condition, std::chrono::milliseconds timeout = 10s) {
        return QTest::qWaitFor(
            [&] {
                clock->runDue();
                return condition();
            },
            int(timeout.count()));
    }
    // Lets the event loop and the due actions run for a moment of real time.
    void settle() {
        waitFor([] { return false; }, 150ms);
    }

    // Moves the manual clock in small steps, letting sockets and posts run between them.
    void advance(std::chrono::milliseconds total, std::chrono::milliseconds step = 10ms) {
        for (auto done = 0ms; done < total; done += step) {
            clock->advance(std::min(step, total - done));
            QCoreApplication::processEvents();
        }
        clock->runDue();
    }

    QStringList logLines() const { return log->infos(); }
    QStringList linesStartingWith(const QString& prefix) const {
        QStringList lines;
        for (const QString& line : log->infos())
            if (line.startsWith(prefix))
                lines << line;
        return lines;
    }
    bool logged(const QString& line) const { return log->infos().contains(line); }

    void speak(std::chrono::milliseconds duration, float amplitude = 0.1f) {
        const int frames = int(48 * duration.count());
        std::vector<float> samples(std::size_t(frames), amplitude);
        for (int at = 0; at < frames; at += 4096) {
            const int count = std::min(4096, frames - at);
            QVERIFY(microphone->deliver(std::span<const float>(samples.data() + at, std::size_t(count))));
        }
    }

    // Starts a dictation in `mode` and waits until it records (and, streaming, until the proxy has
    // the session open and announced).
    void start(DictationMode mode) {
        workspace->frontmost = editor;
        const int connections = int(proxy->connections().size());
        state->setDictationMode(mode);
        QVERIFY(state->startDictation());
        QVERIFY(waitFor([&] { return state->isRecording(); }));
        if (mode == DictationMode::pro)
            return;
        QVERIFY(waitFor([&] { return proxy->connections().size() > connections; }));
        proxy->sendSessionStarted(connections);
        QVERIFY(waitFor([&] { return state->realtimeService().isSessionStarted(); }));
    }

    void release() {
        state->stopDictation();
        clock->runDue();
        advance(AppState::finalizationDelay);
    }

    void answerCommitWith(const QString& text, int connection = -1) {
        proxy->onMessage = [this, text, connection](ScriptedRealtimeProxy::Connection& c,
                                                    const RealtimeProtocol::ClientMessage& message) {
            if (message.commit && (connection < 0 || c.index == connection))
                proxy->send(c.index, RealtimeProtocol::encodeCommittedTranscript(text));
        };
    }

private Q_SLOTS:
    void initTestCase() { setAppLogToStandardOutput(qEnvironmentVariableIsSet("VOXLET_TEST_VERBOSE")); }

    void init() {
        clock = std::make_unique<ManualScheduler>();
        clock->setCurrentDateTime(QDateTime::currentDateTimeUtc());
        http = std::make_unique<HttpFixture>();
        proxy = std::make_unique<ScriptedRealtimeProxy>();
        QVERIFY(proxy->listen());
        secrets = std::make_shared<InMemorySecretStore>();
        keys = std::make_shared<RecordingKeyboardSink>(*clock);
        workspace = std::make_shared<FakeWorkspace>(*clock);
        log = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(log);
        folder = std::make_unique<QTemporaryDir>();
        closeRequests.clear();
    }

    void cleanup() {
        state.reset();
        proxy.reset();
        http.reset();
        setAppSystemLog(nullptr);
    }

    void flashTypesTheFinalTranscript() {
        createState();
        answerCommitWith(QStringLiteral("Hello world."));
        start(DictationMode::flash);
        speak(500ms);
        release();
        QVERIFY(waitFor([&] { return !keys->texts().isEmpty(); }));
        QCOMPARE(keys->texts(), QStringList{QStringLiteral("Hello world.")});
        QVERIFY(logged(QStringLiteral("AppState: Executing Flash typing, reason=final_commit_completed")));
        QVERIFY(
            logged(QStringLiteral("AppState: executeFlashModeTyping accumulated (12 chars): Hello world.")));
        QVERIFY(logged(QStringLiteral("ElevenLabsRT: Typing accumulated transcription")));
        QVERIFY(waitFor([&] { return closeRequests.size() == 1; }));
        QCOMPARE(state->transcript(), QString());
        QVERIFY(waitFor([&] { return proxy->connection(0).disconnected; }));

        QSettings stored(folder->filePath(QStringLiteral("Voxlet.conf")), QSettings::IniFormat);
        QCOMPARE(stored.value(QStringLiteral("dictationMode")).toString(), QStringLiteral("flash"));
        // The audio reached the proxy, resampled to 16 kHz, before the commit.
        const auto& messages = proxy->connection(0).messages;
        QVERIFY(messages.size() >= 2);
        QVERIFY(messages.last().commit);
        qsizetype audioBytes = 0;
        for (const auto& message : messages)
            audioBytes += message.audio.size();
        // 0.5 s at 48 kHz in 4096-frame buffers, every third sample kept: 5 × 1366 + 1174 samples.
        QCOMPARE(audioBytes, qsizetype(2 * (5 * 1366 + 1174)));
    }

    void finalTranscriptThatNeverComes() {
        createState();
        start(DictationMode::flash);
        proxy->send(0, RealtimeProtocol::encodeCommittedTranscript(QStringLiteral("said earlier")));
        QVERIFY(waitFor([&] { return state->transcript() == QLatin1String("said earlier"); }));
        advance(2000ms, 100ms);
        release();
        QVERIFY(waitFor([&] { return proxy->connection(0).receivedCommit(); }));
        QVERIFY(waitFor([&] {
            return logged(QStringLiteral(
                "AppState: Flash final commit sent; waiting up to 5.30s for realtime transcript"));
        }));
        const auto committedAt = clock->now();
        advance(5290ms, 10ms);
        QVERIFY(keys->texts().isEmpty());
        advance(20ms);
        QVERIFY(waitFor([&] { return !keys->texts().isEmpty(); }));
        QCOMPARE(keys->texts(), QStringList{QStringLiteral("said earlier")});
        QVERIFY(logged(QStringLiteral("AppState: Executing Flash typing, reason=final_commit_timeout")));
        QVERIFY(clock->now() - committedAt < 5400ms);

        // A final transcript after the wait changes nothing.
        proxy->send(0, RealtimeProtocol::encodeCommittedTranscript(QStringLiteral("too late")));
        settle();
        advance(30s, 500ms);
        QCOMPARE(keys->texts(), QStringList{QStringLiteral("said earlier")});
        QCOMPARE(linesStartingWith(QStringLiteral("AppState: Executing Flash typing")).size(), 1);
    }

    void safetyTimeoutWhenNoCommitGoesOut() {
        createState();
        proxy->answers = {ScriptedRealtimeProxy::Answer::Silent};
        workspace->frontmost = editor;
        state->setDictationMode(DictationMode::flash);
        QVERIFY(state->startDictation());
        QVERIFY(waitFor([&] { return state->isRecording(); }));
        advance(2000ms, 100ms);
        release();
        const auto finalisationStart = clock->now();
        advance(11990ms, 10ms);
        QVERIFY(linesStartingWith(QStringLiteral("AppState: Executing Flash typing")).isEmpty());
        advance(10ms);
        QCOMPARE(linesStartingWith(QStringLiteral("AppState: Executing Flash typing")),
                 QStringList{QStringLiteral(
                     "AppState: Executing Flash typing, reason=connection_or_session_timeout")});
        QVERIFY(clock->now() - finalisationStart >= 12000ms);
    }

    void blankTranscriptTypesNothingAndSaysSo() {
        createState();
        answerCommitWith(QStringLiteral("   "));
        start(DictationMode::flash);
        speak(200ms);
        release();
        QVERIFY(waitFor([&] { return proxy->connection(0).receivedCommit(); }));
        settle();
        const QString nothing = QStringLiteral(
            "ElevenLabsRT: No realtime transcription available; skipping batch fallback for Flash mode");
        for (int step = 0; step < 1300 && !logged(nothing); ++step)
            advance(10ms);
        QVERIFY(logged(nothing));
        QCOMPARE(state->transcript(), QStringLiteral("Sem transcrição em tempo real"));
        QVERIFY(closeRequests.isEmpty());
        advance(1490ms);
        QCOMPARE(state->transcript(), QStringLiteral("Sem transcrição em tempo real"));
        advance(10ms);
        QCOMPARE(state->transcript(), QString());
        QCOMPARE(closeRequests.size(), 1);
        QVERIFY(keys->events.isEmpty());
    }

    void translateTypesTheTranslationOrTheOriginal_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("typed");
        QTest::newRow("translated") << 200 << "Hola mundo.";
        QTest::newRow("translation refused") << 400 << "Hello world.";
    }

    void translateTypesTheTranslationOrTheOriginal() {
        QFETCH(int, status);
        QFETCH(QString, typed);
        createState();
        state->setTargetLanguage(QStringLiteral("es"));
        http->enqueue(QStringLiteral("/api/ai/translate"),
                      HttpFixtureReply::json(status, status == 200
                                                         ? QJsonObject{{"text", "Hola mundo."}}
                                                         : QJsonObject{{"error", "no translator"}}));
        answerCommitWith(QStringLiteral("Hello world."));
        start(DictationMode::flashTranslate);
        speak(300ms);
        release();
        QVERIFY(waitFor([&] { return !keys->texts().isEmpty(); }));
        QTEST(keys->texts().join(QString()), "typed");
        const auto requests = http->requests(QStringLiteral("/api/ai/translate"));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().jsonBody().value(QStringLiteral("target_language")).toString(),
                 QStringLiteral("es"));
        QCOMPARE(requests.first().jsonBody().value(QStringLiteral("input")).toString(),
                 QStringLiteral("Hello world."));
        QVERIFY(logged(QStringLiteral("AppState: translateAndType input (12 chars): Hello world.")));
        QCOMPARE(logged(QStringLiteral("AppState: Translation failed, typing original text")), status != 200);
        QVERIFY(waitFor([&] { return closeRequests.size() == 1; }));
    }

    void proTypesTheFormattedAudioAfterHidingTheIndicator() {
        createState();
        state->setAIFormatPreset(AIFormatPreset::email);
        http->enqueue(QStringLiteral("/api/ai/audio-format"),
                      HttpFixtureReply::json(200, QJsonObject{{"text", "  Formatted text.  "}}));
        start(DictationMode::pro);
        speak(1000ms);
        advance(1000ms, 100ms);
        release();
        QVERIFY(waitFor([&] { return state->isProcessing(); }));
        QVERIFY(waitFor([&] { return closeRequests.size() == 1; }));
        QVERIFY(!state->isProcessing());
        QVERIFY(keys->keyEvents().isEmpty());
        advance(200ms);
        QVERIFY(waitFor([&] { return !keys->texts().isEmpty(); }));
        QCOMPARE(keys->texts(), QStringList{QStringLiteral("Formatted text.")});
        QVERIFY(keys->keyEvents().first().at - closeRequests.first() >= 150ms);
        QCOMPARE(workspace->activations.size(), 1);
        QCOMPARE(workspace->activations.first().application, editor);

        const QStringList trace = linesStartingWith(QStringLiteral("ProTrace id="));
        QVERIFY(trace.size() >= 4);
        const QString id = trace.first().mid(12, 8);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}$")).match(id).hasMatch());
        QCOMPARE(trace.first(),
                 QStringLiteral("ProTrace id=%1 total_start mode=pro transcription=gemini_audio "
                                "audioSeconds=1.01 wavBytes=96044 preset=email targetLanguage=en")
                     .arg(id));
        QVERIFY(trace.at(trace.size() - 3)
                    .startsWith(QStringLiteral("ProTrace id=%1 typing_start outputChars=15").arg(id)));
        QVERIFY(trace.at(trace.size() - 2)
                    .startsWith(QStringLiteral("ProTrace id=%1 typing_done latencyMs=").arg(id)));
        QVERIFY(trace.last().endsWith(QStringLiteral(" words=2")));
        QVERIFY(linesStartingWith(QStringLiteral("ProTrace id=%1 coordinator_route").arg(id)).isEmpty());
        QCOMPARE(http->requests(QStringLiteral("/api/ai/audio-format")).first().header("X-Voxlet-Trace-Id"),
                 id.toUtf8());
        // Pro streams nothing.
        QVERIFY(proxy->connections().isEmpty());
        QCOMPARE(proxy->attemptCount(), 0);
    }

    void proFallsBackToTranscriptionAndFormatting_data() {
        QTest::addColumn<int>("audioFormatStatus");
        QTest::newRow("conflict") << 409;
        QTest::newRow("failure") << 400;
    }

    void proFallsBackToTranscriptionAndFormatting() {
        QFETCH(int, audioFormatStatus);
        createState();
        http->enqueue(QStringLiteral("/api/ai/audio-format"),
                      HttpFixtureReply::json(audioFormatStatus, QJsonObject{}));
        http->enqueue(QStringLiteral("/api/ai/transcribe"),
                      HttpFixtureReply::json(200, QJsonObject{{"transcript", "raw  words\nhere"}}));
        http->enqueue(QStringLiteral("/api/ai/format"),
                      HttpFixtureReply::json(200, QJsonObject{{"text", "Raw words here."}}));
        start(DictationMode::pro);
        speak(500ms);
        release();
        QVERIFY(waitFor([&] { return state->transcript() == QLatin1String("raw  words\nhere"); }));
        QVERIFY(waitFor([&] { return closeRequests.size() == 1; }));
        advance(200ms);
        QVERIFY(waitFor([&] { return !keys->texts().isEmpty(); }));
        QCOMPARE(keys->texts(), QStringList{QStringLiteral("Raw words here.")});

        QStringList events;
        for (const QString& line : linesStartingWith(QStringLiteral("ProTrace id=")))
            events << line.section(QLatin1Char(' '), 2, 2).section(QLatin1Char('='), 0, 0);
        events.removeDuplicates();
        const QStringList expected{"total_start",
                                   "audio_format_request_start",
                                   "audio_format_failed_fallback",
                                   "coordinator_route",
                                   "transcribe_request_start",
                                   "format_request_start",
                                   "typing_start",
                                   "typing_done",
                                   "total_done"};
        for (qsizetype i = 1; i < expected.size(); ++i)
            QVERIFY2(events.indexOf(expected[i - 1]) < events.indexOf(expected[i]),
                     qPrintable(events.join(' ')));
        const QString route = linesStartingWith(QStringLiteral("ProTrace id="))
                                  .filter(QStringLiteral("coordinator_route"))
                                  .first();
        QVERIFY(route.endsWith(
            QStringLiteral(" coordinator_route provider=ElevenLabs/OpenAI mode=pro audioBytes=48044")));
        QCOMPARE(http->requests(QStringLiteral("/api/ai/transcribe")).first().body.size(), 48044);
        QCOMPARE(http->requests(QStringLiteral("/api/ai/audio-format")).size(), 1);
    }

    void proWithoutAudioTypesNothing() {
        createState();
        start(DictationMode::pro);
        release();
        const QStringList trace = linesStartingWith(QStringLiteral("ProTrace id="));
        QCOMPARE(trace.size(), 2);
        QVERIFY(trace.at(0).contains(QStringLiteral(
            " total_start mode=pro transcription=gemini_audio audioSeconds=0.01 wavBytes=0 ")));
        QVERIFY(trace.at(1).contains(QStringLiteral(" no_audio_recorded totalMs=0")));
        settle();
        QCOMPARE(closeRequests.size(), 1);
        QVERIFY(keys->events.isEmpty());
        QCOMPARE(http->requests(QStringLiteral("/api/ai/audio-format")).size(), 0);
    }

    void twoReleasesFinaliseOnce() {
        createState();
        start(DictationMode::pro);
        state->stopDictation();
        state->stopDictation();
        clock->runDue();
        state->stopDictation();
        advance(50ms);
        QCOMPARE(
            linesStartingWith(QStringLiteral("ProTrace id=")).filter(QStringLiteral("total_start")).size(),
            1);
    }

    void refusals_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QString>("message");
        QTest::newRow("signed out") << false << true << AppState::signedOutMessage;
        QTest::newRow("not configured") << true << false << AppState::notConfiguredMessage;
    }

    void refusals() {
        QFETCH(bool, signedIn);
        QFETCH(bool, configured);
        createState(signedIn, configured);
        QVERIFY(!state->startDictation());
        QTEST(state->authManager().authError().value_or(QString()), "message");
        QVERIFY(!microphone->isStreaming());
        state->stopDictation();
        advance(50ms);
        QVERIFY(!state->isRecording());
        QSettings stored(folder->filePath(QStringLiteral("Voxlet.conf")), QSettings::IniFormat);
        QVERIFY(!stored.contains(QStringLiteral("dictationMode")));
    }

    void captureThatCannotStartRefuses() {
        createState();
        microphone->queueStart({false, QStringLiteral("busy")});
        microphone->queueStart({false, QStringLiteral("busy")});
        state->setDictationMode(DictationMode::flash);
        QVERIFY(!state->startDictation());
        QVERIFY(logged(QStringLiteral("AppState: Dictation aborted because audio capture could not start")));
        QVERIFY(!state->recordingStartedAt());
        settle();
        QVERIFY(!state->isRecording());
    }

    void realtimeFailureShowsForThreeSeconds() {
        createState();
        state->realtimeService().proxyBaseURL.reset();
        state->setDictationMode(DictationMode::flash);
        QVERIFY(state->startDictation());
        QVERIFY(waitFor([&] {
            return state->transcript() == QStringLiteral("⚠️ Authentication expired or missing");
        }));
        QVERIFY(logged(
            QStringLiteral("AppState: Realtime connection failed — Authentication expired or missing")));
        QVERIFY(!state->isRecording());
        QVERIFY(!microphone->isStreaming());
        advance(2990ms);
        QVERIFY(closeRequests.isEmpty());
        advance(10ms);
        QCOMPARE(closeRequests.size(), 1);
        QCOMPARE(state->transcript(), QString());
    }

    void interruptionDuringRecordingTypesNothing() {
        createState();
        start(DictationMode::flash);
        speak(200ms);
        // The input goes away and cannot be reopened.
        microphone->setDefaultFormats({});
        QVERIFY(microphone->reportConfigurationChange());
        QVERIFY(waitFor([&] {
            return logged(
                QStringLiteral("AppState: Audio recording interrupted by a CoreAudio reconfiguration"));
        }));
        QVERIFY(state->recordingWasInterrupted() || closeRequests.size() == 1);
        QVERIFY(waitFor([&] { return closeRequests.size() == 1; }));
        QVERIFY(state->audioManager().audioBuffer().isEmpty());
        release();
        advance(15s, 500ms);
        QVERIFY(keys->events.isEmpty());
        QVERIFY(linesStartingWith(QStringLiteral("AppState: Executing Flash typing")).isEmpty());
    }

    void levelHistoryKeepsTheLastEight() {
        createState();
        start(DictationMode::pro);
        for (int i = 1; i <= 20; ++i) {
            std::vector<float> samples(4096, 0.0005f * float(i));
            microphone->deliver(samples);
        }
        QVERIFY(waitFor([&] { return state->audioLevelHistory().back() > 0; }));
        settle();
        const auto history = state->audioLevelHistory();
        QCOMPARE(history.size(), std::size_t(8));
        for (std::size_t i = 1; i < history.size(); ++i)
            QVERIFY(history[i - 1] < history[i]);
        QCOMPARE(state->audioLevel(), history.back());
    }

    void proAfterFlashStreamsNothing() {
        createState();
        answerCommitWith(QStringLiteral("First."));
        start(DictationMode::flash);
        speak(200ms);
        release();
        QVERIFY(waitFor([&] { return !keys->texts().isEmpty(); }));
        QVERIFY(waitFor([&] { return proxy->connection(0).disconnected; }));
        const auto messagesBefore = proxy->connection(0).messages.size();
        const auto chunksBefore = state->realtimeService().audioCounters().receivedAudioChunkCount;

        http->enqueue(QStringLiteral("/api/ai/audio-format"),
                      HttpFixtureReply::json(200, QJsonObject{{"text", "Second."}}));
        start(DictationMode::pro);
        speak(500ms);
        release();
        settle();
        QCOMPARE(proxy->connections().size(), 1);
        QCOMPARE(proxy->connection(0).messages.size(), messagesBefore);
        QCOMPARE(state->realtimeService().pendingAudioChunkCount(), 0);
        QCOMPARE(state->realtimeService().audioCounters().receivedAudioChunkCount, chunksBefore);
    }

    void overlappingDictationsKeepTheirOwnText() {
        createState();
        // The first dictation's final transcript is late; the second starts while it waits.
        start(DictationMode::flash);
        proxy->send(0, RealtimeProtocol::encodeCommittedTranscript(QStringLiteral("first part")));
        QVERIFY(waitFor([&] { return state->transcript() == QLatin1String("first part"); }));
        advance(1000ms, 100ms);
        release();
        QVERIFY(waitFor([&] { return proxy->connection(0).receivedCommit(); }));

        const RunningApplication chat{7, 77, QStringLiteral("Chat"), QStringLiteral("general")};
        workspace->frontmost = chat;
        state->setDictationMode(DictationMode::flash);
        QVERIFY(state->startDictation());
        QVERIFY(waitFor([&] { return proxy->connections().size() == 2; }));
        proxy->sendSessionStarted(1);
        QVERIFY(waitFor([&] { return state->isRecording(); }));
        proxy->send(1, RealtimeProtocol::encodeCommittedTranscript(QStringLiteral("second dictation")));
        QVERIFY(waitFor([&] { return state->transcript() == QLatin1String("second dictation"); }));

        // The first dictation's last words arrive on its own session and are typed with the rest.
        proxy->send(0, RealtimeProtocol::encodeCommittedTranscript(QStringLiteral("and its end")));
        QVERIFY(waitFor([&] { return !keys->texts().isEmpty(); }));
        QCOMPARE(keys->texts(), QStringList{QStringLiteral("first part and its end")});
        settle();
        // Its end of session neither hides nor clears the dictation now recording.
        QVERIFY(closeRequests.isEmpty());
        QCOMPARE(state->transcript(), QStringLiteral("second dictation"));
        QVERIFY(state->isRecording());
        QVERIFY(!proxy->connection(1).disconnected);

        answerCommitWith(QStringLiteral("second dictation"), 1);
        speak(200ms);
        release();
        QVERIFY(waitFor([&] { return keys->texts().size() == 2; }));
        QCOMPARE(keys->texts().last(), QStringLiteral("second dictation"));
        QVERIFY(waitFor([&] { return closeRequests.size() == 1; }));
        // The first session's timers, still pending, change nothing when they fire.
        advance(30s, 500ms);
        QCOMPARE(keys->texts().size(), 2);
        QCOMPARE(linesStartingWith(QStringLiteral("AppState: Executing Flash typing")).size(), 2);
    }

    void waitFormulas_data() {
        QTest::addColumn<double>("audioSeconds");
        QTest::addColumn<double>("wait");
        QTest::addColumn<double>("safety");
        QTest::newRow("2 s") << 2.0 << 5.30 << 12.0;
        QTest::newRow("60 s") << 60.0 << 14.0 << 30.0;
        QTest::newRow("100 s") << 100.0 << 20.0 << 30.0;
        QTest::newRow("none") << 0.0 << 5.0 << 12.0;
        QTest::newRow("10 s") << 10.0 << 6.5 << 18.0;
    }

    void waitFormulas() {
        QFETCH(double, audioSeconds);
        QFETCH(double, wait);
        QFETCH(double, safety);
        QCOMPARE(FlashFinalization::finalTranscriptWaitSeconds(audioSeconds), wait);
        QCOMPARE(FlashFinalization::safetyTimeoutSeconds(audioSeconds), safety);
    }
};

QTEST_GUILESS_MAIN(AppStateTest)
#include "tst_app_state.moc"
