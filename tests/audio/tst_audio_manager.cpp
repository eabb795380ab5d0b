#include "audio/AudioManager.h"
#include "audio/PcmConversion.h"
#include "dictation/AppLog.h"
#include "platform/fake/RecordingSystemLog.h"
#include "platform/fake/ScriptedAudioCaptureDevice.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <thread>

using Formats = AudioCaptureDevice::InputFormats;
using Format = AudioCaptureDevice::Format;

Q_DECLARE_METATYPE(Formats)
Q_DECLARE_METATYPE(AudioCaptureDevice::StartResult)

namespace {

const Formats stereo48k{{48000.0, 2}, {48000.0, 2}};
const Formats noInput{{0, 0}, {0, 0}};
const Formats noNativeFormat{{48000.0, 2}, {48000.0, 0}};

quint32 u32At(const QByteArray& bytes, int offset) {
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}
quint16 u16At(const QByteArray& bytes, int offset) {
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}
qint16 s16At(const QByteArray& bytes, int offset) {
    return qFromLittleEndian<qint16>(bytes.constData() + offset);
}

} // namespace

class AudioManagerTest : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<RecordingSystemLog> systemLog;
    QTemporaryDir stateDir;
    ScriptedAudioCaptureDevice* device = nullptr;
    std::unique_ptr<AudioManager> manager;
    std::vector<std::chrono::milliseconds> pauses;
    std::vector<int> probesAtPause;

    QStringList audioLines() const {
        return systemLog->infos().filter(QRegularExpression(QStringLiteral("^AudioManager: ")));
    }

private Q_SLOTS:
    void initTestCase() {
        qputenv("XDG_STATE_HOME", stateDir.path().toUtf8());
        setAppLogToStandardOutput(false);
    }

    void init() {
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);
        auto scripted = std::make_unique<ScriptedAudioCaptureDevice>();
        device = scripted.get();
        device->setDefaultFormats(stereo48k);
        manager = std::make_unique<AudioManager>(std::move(scripted));
        pauses.clear();
        probesAtPause.clear();
        manager->warmUpPause = [this](std::chrono::milliseconds pause) {
            pauses.push_back(pause);
            probesAtPause.push_back(device->probeCount());
        };
    }

    void cleanup() {
        manager.reset();
        setAppSystemLog(nullptr);
    }

    void startAttempts_data() {
        QTest::addColumn<QList<Formats>>("probes");
        QTest::addColumn<QList<AudioCaptureDevice::StartResult>>("starts");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QStringList>("expectedLines");

        const QString started = QStringLiteral(
            "AudioManager: Recording started at 48000.0 Hz, native channels: 2, hardware channels: 2");
        const QString retry = QStringLiteral("AudioManager: Retrying audio engine start after short warm-up");
        const QString noHardware =
            QStringLiteral("AudioManager: Input hardware format is invalid; aborting recording start");
        const QString noNative =
            QStringLiteral("AudioManager: Native input format is invalid; aborting recording start");
        const AudioCaptureDevice::StartResult refused{false, QStringLiteral("Connection refused")};
        const QString refusedLine =
            QStringLiteral("AudioManager: Failed to start audio engine: Connection refused");

        QTest::newRow("first attempt")
            << QList<Formats>{} << QList<AudioCaptureDevice::StartResult>{} << true << QStringList{started};
        QTest::newRow("no hardware, then ready")
            << QList<Formats>{noInput} << QList<AudioCaptureDevice::StartResult>{} << true
            << QStringList{noHardware, retry, started};
        QTest::newRow("refused, then ready")
            << QList<Formats>{} << QList<AudioCaptureDevice::StartResult>{refused} << true
            << QStringList{refusedLine, retry, started};
        QTest::newRow("no hardware twice")
            << QList<Formats>{noInput, noInput} << QList<AudioCaptureDevice::StartResult>{} << false
            << QStringList{noHardware, retry, noHardware};
        QTest::newRow("no native format, then refused")
            << QList<Formats>{noNativeFormat} << QList<AudioCaptureDevice::StartResult>{refused} << false
            << QStringList{noNative, retry, refusedLine};
    }

    // One retry after the warm-up pause, never a third attempt, each failure with its message.
    void startAttempts() {
        QFETCH(QList<Formats>, probes);
        QFETCH(QList<AudioCaptureDevice::StartResult>, starts);
        QFETCH(bool, succeeds);
        QFETCH(QStringList, expectedLines);
        for (const auto& probe : probes)
            device->queueProbe(probe);
        for (const auto& start : starts)
            device->queueStart(start);

        const std::optional<double> rate = manager->startRecording(true);

        QCOMPARE(rate.has_value(), succeeds);
        if (succeeds)
            QCOMPARE(*rate, 48000.0);
        QCOMPARE(manager->isRecording(), succeeds);
        QCOMPARE(device->isStreaming(), succeeds);
        QCOMPARE(audioLines(), expectedLines);
        const bool retried = expectedLines.contains(
            QStringLiteral("AudioManager: Retrying audio engine start after short warm-up"));
        QCOMPARE(device->probeCount(), retried ? 2 : 1);
        if (retried) {
            // The pause comes between the attempts.
            QCOMPARE(pauses, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(150)});
            QCOMPARE(probesAtPause, std::vector<int>{1});
        } else {
            QVERIFY(pauses.empty());
        }
    }

    void startMessageAndStreamRequest() {
        device->setDefaultFormats({{44100.0, 2}, {44100.0, 2}});
        QCOMPARE(manager->startRecording(true), std::optional<double>(44100.0));
        QCOMPARE(
            audioLines(),
            QStringList{QStringLiteral(
                "AudioManager: Recording started at 44100.0 Hz, native channels: 2, hardware channels: 2")});
        const auto requests = device->startRequests();
        QCOMPARE(requests.size(), 1u);
        QCOMPARE(requests[0].sampleRate, 44100.0);
        QCOMPARE(requests[0].framesPerBuffer, 4096);

        QVERIFY(device->deliver(std::vector<float>(4096, 0.25f)));
        // Mono chunks at the input's rate: two bytes a frame.
        QCOMPARE(manager->audioBuffer().size(), 8192);
        QCOMPARE(manager->getWAVData().value().mid(24, 4), QByteArray::fromHex("44ac0000"));
    }

    void startWhileRecordingKeepsEverything() {
        QVERIFY(manager->startRecording(true));
        QVERIFY(device->deliver(std::vector<float>(100, 0.5f)));
        device->setDefaultFormats({{16000.0, 1}, {16000.0, 1}});

        QCOMPARE(manager->startRecording(true), std::optional<double>(48000.0));
        QCOMPARE(device->startRequests().size(), 1u);
        QCOMPARE(device->stopCount(), 1); // only the tear-down before the first start
        QCOMPARE(manager->audioBuffer().size(), 200);
        QVERIFY(device->isStreaming());
    }

    void stopKeepsRecordingAndResetClearsIt() {
        QVERIFY(manager->startRecording(true));
        QVERIFY(device->deliver(std::vector<float>(10, 0.5f)));
        manager->stopRecording();
        QVERIFY(!manager->isRecording());
        QVERIFY(!device->isStreaming());
        QVERIFY(!device->deliver(std::vector<float>(10, 0.5f)));
        QCOMPARE(audioLines().last(), QStringLiteral("AudioManager: Recording stopped"));
        QCOMPARE(manager->audioBuffer().size(), 20);
        QVERIFY(manager->getWAVData());

        // Continuing the same recording keeps its rate even though the input now runs at another.
        device->setDefaultFormats({{44100.0, 1}, {44100.0, 1}});
        QCOMPARE(manager->startRecording(false), std::optional<double>(48000.0));
        QCOMPARE(device->startRequests().back().sampleRate, 48000.0);
        QVERIFY(device->deliver(std::vector<float>(10, 0.5f)));
        QCOMPARE(manager->audioBuffer().size(), 40);
        manager->stopRecording();

        // A new recording starts empty, at the input's own rate.
        QCOMPARE(manager->startRecording(true), std::optional<double>(44100.0));
        QVERIFY(manager->audioBuffer().isEmpty());
        QVERIFY(!manager->getWAVData());
    }

    void level_data() {
        QTest::addColumn<float>("rms");
        QTest::addColumn<float>("expected");
        QTest::newRow("silence") << 0.0f << 0.0f;
        QTest::newRow("rms 0.005") << 0.005f << 0.5f;
        QTest::newRow("rms 0.02") << 0.02f << 1.0f;
        QTest::newRow("full scale, negative") << -0.9f << 1.0f;
    }

    // A constant signal's rms is its magnitude. The level arrives on the GUI thread, posted.
    void level() {
        QFETCH(float, rms);
        QFETCH(float, expected);
        std::vector<float> levels;
        std::vector<bool> onGuiThread;
        manager->onAudioLevelChanged = [&](float value) {
            levels.push_back(value);
            onGuiThread.push_back(QThread::currentThread() == qApp->thread());
        };
        QVERIFY(manager->startRecording(true));
        std::thread capture([&] { QVERIFY(device->deliver(std::vector<float>(4096, rms))); });
        capture.join();
        QVERIFY(levels.empty());
        QTRY_COMPARE(levels.size(), 1u);
        QVERIFY(std::abs(levels[0] - expected) < 1e-4f);
        QVERIFY(onGuiThread[0]);
    }

    void sampleConversion_data() {
        QTest::addColumn<float>("sample");
        QTest::addColumn<int>("expected");
        QTest::newRow("1.0") << 1.0f << 32767;
        QTest::newRow("1.5") << 1.5f << 32767;
        QTest::newRow("-1.0") << -1.0f << -32767;
        QTest::newRow("-2.0") << -2.0f << -32767;
        QTest::newRow("0.5") << 0.5f << 16383;
        QTest::newRow("-0.5") << -0.5f << -16383;
        QTest::newRow("0") << 0.0f << 0;
        QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << 0;
    }

    // Through the whole path: the kept recording and the chunk handed to the receiver.
    void sampleConversion() {
        QFETCH(float, sample);
        QFETCH(int, expected);
        QList<QByteArray> chunks;
        manager->onAudioDataReceived = [&](const QByteArray& chunk) { chunks.append(chunk); };
        QVERIFY(manager->startRecording(true));
        QVERIFY(device->deliver(std::vector<float>{sample, 0.25f}));
        QCOMPARE(chunks.size(), 1);
        QCOMPARE(chunks[0].size(), 4);
        QCOMPARE(int(s16At(chunks[0], 0)), expected);
        QCOMPARE(int(s16At(chunks[0], 2)), 8191);
        QCOMPARE(manager->audioBuffer(), chunks[0]);
    }

    void oneSecondWav() {
        QVERIFY(manager->startRecording(true));
        QByteArray received;
        manager->onAudioDataReceived = [&](const QByteArray& chunk) { received += chunk; };
        int remaining = 48000;
        while (remaining > 0) {
            const int frames = std::min(remaining, AudioManager::framesPerBuffer);
            QVERIFY(device->deliver(std::vector<float>(static_cast<size_t>(frames), -0.25f)));
            remaining -= frames;
        }
        manager->stopRecording();

        const QByteArray wav = manager->getWAVData().value();
        QCOMPARE(wav.size(), 96044);
        QCOMPARE(wav.left(4), QByteArray("RIFF"));
        QCOMPARE(u32At(wav, 4), 96036u);
        QCOMPARE(wav.mid(8, 8), QByteArray("WAVEfmt "));
        QCOMPARE(u32At(wav, 16), 16u);
        QCOMPARE(u16At(wav, 20), quint16(1));
        QCOMPARE(u16At(wav, 22), quint16(1));
        QCOMPARE(u32At(wav, 24), 48000u);
        QCOMPARE(u32At(wav, 28), 96000u);
        QCOMPARE(u16At(wav, 32), quint16(2));
        QCOMPARE(u16At(wav, 34), quint16(16));
        QCOMPARE(wav.mid(36, 4), QByteArray("data"));
        QCOMPARE(u32At(wav, 40), 96000u);
        QCOMPARE(wav.mid(44), received);
        QCOMPARE(int(s16At(wav, 44)), -8191);
    }

    void noWavWithoutRecording() {
        QVERIFY(!manager->getWAVData());
        QVERIFY(manager->startRecording(true));
        QVERIFY(device->deliver(std::vector<float>{}));
        manager->stopRecording();
        QVERIFY(!manager->getWAVData());
    }

    void requestPermissionAnswersTrueLater() {
        std::optional<bool> answer;
        manager->requestPermission([&](bool granted) {
            QCOMPARE(QThread::currentThread(), qApp->thread());
            answer = granted;
        });
        QVERIFY(!answer);
        QTRY_COMPARE(answer, std::optional<bool>(true));
    }

    // The change was reported while recording but is handled after the stop: nothing restarts and
    // nobody is called.
    void configurationChangeWhileIdle() {
        int levelCalls = 0;
        int interruptions = 0;
        manager->onAudioLevelChanged = [&](float) { ++levelCalls; };
        manager->onRecordingInterrupted = [&] { ++interruptions; };
        QVERIFY(manager->startRecording(true));
        QVERIFY(device->reportConfigurationChange());
        manager->stopRecording();
        const int stopsBefore = device->stopCount();
        QCoreApplication::processEvents();

        QCOMPARE(audioLines().last(), QStringLiteral("AudioManager: Audio engine configuration changed"));
        QCOMPARE(device->startRequests().size(), 1u);
        QCOMPARE(device->stopCount(), stopsBefore + 1);
        QVERIFY(!device->isStreaming());
        QVERIFY(!manager->isRecording());
        QCOMPARE(levelCalls, 0);
        QCOMPARE(interruptions, 0);
    }

    // The new stream keeps the recording's rate although the new input runs at another; the recording
    // and its receiver carry on; a change reported twice recovers once.
    void recoveryKeepsRateBufferAndReceiver() {
        int interruptions = 0;
        manager->onRecordingInterrupted = [&] { ++interruptions; };
        QByteArray received;
        manager->onAudioDataReceived = [&](const QByteArray& chunk) { received += chunk; };
        QVERIFY(manager->startRecording(true));
        QVERIFY(device->deliver(std::vector<float>(100, 0.5f)));

        device->setDefaultFormats({{44100.0, 1}, {44100.0, 1}});
        QVERIFY(device->reportConfigurationChange());
        QVERIFY(device->reportConfigurationChange());
        systemLog->clear();
        QCoreApplication::processEvents();

        QCOMPARE(
            audioLines(),
            (QStringList{
                QStringLiteral("AudioManager: Audio engine configuration changed"),
                QStringLiteral("AudioManager: Attempting to recover from configuration change"),
                QStringLiteral("AudioManager: Input runs at 44100.0 Hz; keeping the recording at 48000.0 Hz"),
                QStringLiteral("AudioManager: Recording started at 48000.0 Hz, native channels: 1, hardware "
                               "channels: 1"),
                QStringLiteral("AudioManager: Successfully recovered engine, new sample rate: 48000.0")}));
        const auto requests = device->startRequests();
        QCOMPARE(requests.size(), 2u);
        QCOMPARE(requests[1].sampleRate, 48000.0);
        QVERIFY(manager->isRecording());
        QCOMPARE(manager->currentSampleRate(), 48000.0);

        QVERIFY(device->deliver(std::vector<float>(50, 0.5f)));
        QCOMPARE(received.size(), 300);
        QCOMPARE(manager->audioBuffer(), received);
        manager->stopRecording();
        QCOMPARE(u32At(manager->getWAVData().value(), 24), 48000u);
        QCOMPARE(interruptions, 0);
    }

    void unrecoverableChangeInterrupts() {
        QStringList events;
        manager->onAudioLevelChanged = [&](float level) { events << QStringLiteral("level %1").arg(level); };
        manager->onRecordingInterrupted = [&] {
            QCOMPARE(QThread::currentThread(), qApp->thread());
            events << QStringLiteral("interrupted");
        };
        int formerReceiverChunks = 0;
        manager->onAudioDataReceived = [&](const QByteArray&) { ++formerReceiverChunks; };
        QVERIFY(manager->startRecording(true));
        QVERIFY(device->deliver(std::vector<float>(10, 0.0f)));
        QCoreApplication::processEvents();
        events.clear();

        device->setDefaultFormats(noInput);
        QVERIFY(device->reportConfigurationChange());
        QVERIFY(device->reportConfigurationChange());
        systemLog->clear();
        QCoreApplication::processEvents(); // handles the change and posts the callbacks
        QCoreApplication::processEvents();

        QCOMPARE(
            audioLines(),
            (QStringList{
                QStringLiteral("AudioManager: Audio engine configuration changed"),
                QStringLiteral("AudioManager: Attempting to recover from configuration change"),
                QStringLiteral("AudioManager: Input hardware format is invalid; aborting recording start"),
                QStringLiteral("AudioManager: Retrying audio engine start after short warm-up"),
                QStringLiteral("AudioManager: Input hardware format is invalid; aborting recording start"),
                QStringLiteral("AudioManager: Failed to restart audio engine during configuration change")}));
        QCOMPARE(events, (QStringList{QStringLiteral("level 0"), QStringLiteral("interrupted")}));
        QVERIFY(!manager->isRecording());
        QVERIFY(!device->isStreaming());
        QVERIFY(!manager->onAudioDataReceived);
        QCOMPARE(formerReceiverChunks, 1);
        // The recording made so far is still there for the batch path.
        QCOMPARE(manager->audioBuffer().size(), 20);

        // A new recording must install its receiver again.
        device->setDefaultFormats(stereo48k);
        QVERIFY(manager->startRecording(true));
        QVERIFY(device->deliver(std::vector<float>(10, 0.0f)));
        QCOMPARE(formerReceiverChunks, 1);
    }

    // Capture runs to completion while the GUI thread is busy elsewhere; the GUI-thread callbacks
    // catch up once it returns to its event loop.
    void captureThreadNeverWaitsForGuiThread() {
        std::atomic<int> chunks{0};
        std::atomic<bool> receivedOnGuiThread{false};
        int levels = 0;
        manager->onAudioLevelChanged = [&](float) { ++levels; };
        manager->onAudioDataReceived = [&](const QByteArray&) {
            ++chunks;
            if (QThread::currentThread() == qApp->thread())
                receivedOnGuiThread = true;
        };
        QVERIFY(manager->startRecording(true));

        std::atomic<bool> done{false};
        std::thread capture([&] {
            for (int i = 0; i < 200; ++i)
                device->deliver(std::vector<float>(256, 0.1f));
            done = true;
        });
        // The GUI thread reads the recording meanwhile, without running its event loop.
        qsizetype lastSize = 0;
        while (!done) {
            const qsizetype size = manager->audioBuffer().size();
            QVERIFY(size >= lastSize);
            QVERIFY(size % 512 == 0);
            lastSize = size;
            std::this_thread::yield();
        }
        capture.join();
        QCOMPARE(chunks.load(), 200);
        QVERIFY(!receivedOnGuiThread);
        QCOMPARE(manager->audioBuffer().size(), 200 * 512);
        QCOMPARE(levels, 0);
        QCoreApplication::processEvents();
        QCOMPARE(levels, 200);
    }
};

QTEST_GUILESS_MAIN(AudioManagerTest)
#include "tst_audio_manager.moc"
