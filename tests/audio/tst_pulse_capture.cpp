#include "PacedFifoWriter.h"
#include "PulseTestServer.h"

#include "audio/AudioManager.h"
#include "audio/PcmConversion.h"
#include "dictation/AppLog.h"
#include "platform/fake/RecordingSystemLog.h"
#include "platform/pulse/PulseAudioCaptureDevice.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <cmath>
#include <csignal>
#include <mutex>

namespace {

constexpr int timeoutMs = 10000;

// Deterministic noise over the full range and a little beyond, so clipping is exercised too.
float noise(qint64 frame) {
    quint64 x = static_cast<quint64>(frame) * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<float>(static_cast<double>(x % 20001) / 8000.0 - 1.25);
}

std::function<float(qint64)> tone(double frequency, int rate) {
    return [frequency, rate](qint64 frame) {
        return static_cast<float>(0.5 * std::sin(2.0 * M_PI * frequency * static_cast<double>(frame) / rate));
    };
}

// The frequency of a tone in 16-bit PCM read at `rate`, from its rising zero crossings.
double measuredFrequency(const QByteArray& pcm, double rate) {
    const qsizetype count = pcm.size() / 2;
    int crossings = 0;
    qint16 previous = qFromLittleEndian<qint16>(pcm.constData());
    for (qsizetype i = 1; i < count; ++i) {
        const qint16 sample = qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
        if (previous < 0 && sample >= 0)
            ++crossings;
        previous = sample;
    }
    return crossings * rate / static_cast<double>(count);
}

// The runner's server, or a skip (a failure under CI, where the service must be there).
#define REQUIRE_SHARED_PULSE_SERVER()                                                                        \
    do {                                                                                                     \
        if (!PulseTestServer::sharedAvailable()) {                                                           \
            if (qEnvironmentVariable("CI") == QLatin1String("true"))                                         \
                QFAIL("the PulseAudio test server is missing (scripts/services/pulse.sh)");                  \
            QSKIP("no PulseAudio test server (run through scripts/test)");                                   \
        }                                                                                                    \
        server = PulseTestServer::shared();                                                                  \
    } while (false)

} // namespace

class PulseCaptureTest : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<RecordingSystemLog> systemLog;
    QTemporaryDir stateDir;
    QTemporaryDir work;
    std::optional<PulseTestServer> server;
    QStringList loadedModules;

    bool hasLine(const QString& line) const { return systemLog->infos().contains(line); }
    bool hasLineStartingWith(const QString& prefix) const {
        const QStringList lines = systemLog->infos();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const QString& l) { return l.startsWith(prefix); });
    }

    // A second virtual microphone on the shared server; its module is unloaded after the test.
    QString loadPipeSource(const QString& name, int rate) {
        QString index;
        const QString fifo = work.filePath(name + QStringLiteral(".fifo"));
        if (!server->pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                            QStringLiteral("source_name=") + name, QStringLiteral("file=") + fifo,
                            QStringLiteral("format=float32le"), QStringLiteral("rate=%1").arg(rate),
                            QStringLiteral("channels=1")},
                           &index))
            return {};
        loadedModules << index;
        return fifo;
    }

private Q_SLOTS:
    void initTestCase() {
        // A writer whose pipe source was unloaded must see an error, not die of SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        qputenv("XDG_STATE_HOME", stateDir.path().toUtf8());
        setAppLogToStandardOutput(false);
    }

    void init() {
        systemLog = std::make_shared<RecordingSystemLog>();
        setAppSystemLog(systemLog);
    }

    void cleanup() {
        if (server && !loadedModules.isEmpty()) {
            server->pactl({QStringLiteral("set-default-source"), QStringLiteral("mic")});
            for (const QString& module : std::as_const(loadedModules))
                server->pactl({QStringLiteral("unload-module"), module});
        }
        loadedModules.clear();
        server.reset();
        setAppSystemLog(nullptr);
    }

    void capturedPcmMatchesFedSignal() {
        REQUIRE_SHARED_PULSE_SERVER();
        AudioManager manager(std::make_unique<PulseAudioCaptureDevice>(server->address()));
        std::mutex receivedMutex;
        QByteArray received;
        std::atomic<bool> receivedOnGuiThread{false};
        manager.onAudioDataReceived = [&](const QByteArray& chunk) {
            if (QThread::currentThread() == qApp->thread())
                receivedOnGuiThread = true;
            std::lock_guard lock(receivedMutex);
            received += chunk;
        };
        float loudest = 0;
        manager.onAudioLevelChanged = [&](float level) { loudest = std::max(loudest, level); };

        QCOMPARE(manager.startRecording(true), std::optional<double>(48000.0));
        QVERIFY(hasLine(QStringLiteral(
            "AudioManager: Recording started at 48000.0 Hz, native channels: 1, hardware channels: 1")));
        // One second of signal, then silence so the last fragment is pushed out.
        PacedFifoWriter writer(server->fifoPath(), 48000,
                               [](qint64 frame) { return frame < 48000 ? noise(frame) : 0.0f; });
        writer.start();
        // Capture goes on while the GUI thread is busy and runs no events.
        QThread::msleep(500);
        {
            std::lock_guard lock(receivedMutex);
            QVERIFY(!received.isEmpty());
        }
        QTRY_VERIFY_WITH_TIMEOUT(manager.audioBuffer().size() >= 96000, timeoutMs);
        writer.stop();
        manager.stopRecording();
        QVERIFY(!writer.failed());

        std::vector<float> fed(48000);
        for (qint64 i = 0; i < 48000; ++i)
            fed[static_cast<size_t>(i)] = noise(i);
        const QByteArray expected = PcmConversion::makeChunk(fed);
        const QByteArray recording = manager.audioBuffer();
        QCOMPARE(recording.left(expected.size()).toHex(), expected.toHex());
        {
            std::lock_guard lock(receivedMutex);
            QCOMPARE(received, recording);
        }
        QVERIFY(!receivedOnGuiThread);
        QTRY_COMPARE_WITH_TIMEOUT(loudest, 1.0f, timeoutMs);
        QCOMPARE(qFromLittleEndian<quint32>(manager.getWAVData().value().constData() + 24), 48000u);
    }

    void recoveryKeepsTheRecordingRate_data() {
        QTest::addColumn<bool>("unloadSource");
        QTest::addColumn<int>("firstRate");
        QTest::addColumn<int>("secondRate");
        // A new default source at another rate: the stream follows it.
        QTest::newRow("default source switched") << false << 48000 << 44100;
        // The captured source disappears: the server moves the stream to the remaining one.
        QTest::newRow("captured source unloaded") << true << 44100 << 48000;
    }

    // The recording goes on from the other source at its original rate: a 1 kHz tone on the second
    // source still reads as 1 kHz at the recording's rate (a rate change would make it 9 % off).
    void recoveryKeepsTheRecordingRate() {
        QFETCH(bool, unloadSource);
        QFETCH(int, firstRate);
        QFETCH(int, secondRate);
        REQUIRE_SHARED_PULSE_SERVER();
        const QString extraFifo = loadPipeSource(QStringLiteral("mic2"), 44100);
        QVERIFY2(!extraFifo.isEmpty(), qPrintable(server->error()));
        const QString extraModule = loadedModules.last();
        const QString firstSource = unloadSource ? QStringLiteral("mic2") : QStringLiteral("mic");
        const QString secondSource = unloadSource ? QStringLiteral("mic") : QStringLiteral("mic2");
        QVERIFY(server->pactl({QStringLiteral("set-default-source"), firstSource}));

        const QString firstFifo = unloadSource ? extraFifo : server->fifoPath();
        const QString secondFifo = unloadSource ? server->fifoPath() : extraFifo;
        PacedFifoWriter first(firstFifo, firstRate, tone(1000, firstRate));
        PacedFifoWriter second(secondFifo, secondRate, tone(1000, secondRate));
        first.start();
        second.start();

        auto* device = new PulseAudioCaptureDevice(server->address());
        AudioManager manager{std::unique_ptr<AudioCaptureDevice>(device)};
        int interruptions = 0;
        manager.onRecordingInterrupted = [&] { ++interruptions; };
        std::atomic<qint64> receivedBytes{0};
        manager.onAudioDataReceived = [&](const QByteArray& chunk) { receivedBytes += chunk.size(); };
        QCOMPARE(manager.startRecording(true), std::optional<double>(firstRate));
        QCOMPARE(device->currentSourceName(), firstSource);
        const qsizetype bytesPerSecond = 2 * firstRate;
        QTRY_VERIFY_WITH_TIMEOUT(manager.audioBuffer().size() >= bytesPerSecond / 4, timeoutMs);

        if (unloadSource)
            QVERIFY(server->pactl({QStringLiteral("unload-module"), extraModule}));
        else
            QVERIFY(server->pactl({QStringLiteral("set-default-source"), secondSource}));
        const QString recovered =
            QStringLiteral("AudioManager: Successfully recovered engine, new sample rate: %1.0")
                .arg(firstRate);
        QTRY_VERIFY_WITH_TIMEOUT(hasLine(recovered), timeoutMs);
        QVERIFY(hasLine(QStringLiteral("AudioManager: Audio engine configuration changed")));
        QCOMPARE(device->currentSourceName(), secondSource);
        QVERIFY(manager.isRecording());

        const qsizetype sizeAtRecovery = manager.audioBuffer().size();
        QTRY_VERIFY_WITH_TIMEOUT(manager.audioBuffer().size() >= sizeAtRecovery + bytesPerSecond * 6 / 10,
                                 timeoutMs);
        manager.stopRecording();
        first.stop();
        second.stop();

        const QByteArray recording = manager.audioBuffer();
        QCOMPARE(receivedBytes.load(), qint64(recording.size()));
        const QByteArray tail = recording.right(bytesPerSecond / 2);
        const double frequency = measuredFrequency(tail, firstRate);
        QVERIFY2(std::abs(frequency - 1000.0) < 30.0,
                 qPrintable(QStringLiteral("tone reads as %1 Hz").arg(frequency)));
        QCOMPARE(manager.currentSampleRate(), double(firstRate));
        QCOMPARE(qFromLittleEndian<quint32>(manager.getWAVData().value().constData() + 24),
                 quint32(firstRate));
        QCOMPARE(interruptions, 0);
        if (unloadSource)
            loadedModules.removeAll(extraModule);
    }

    void lostServerInterruptsRecording() {
        // The server is killed: this test has one of its own, started like the runner's.
        REQUIRE_SHARED_PULSE_SERVER();
        const auto privateServer = PulseTestServer::startPrivate();
        QVERIFY2(!privateServer->address().isEmpty(), qPrintable(privateServer->error()));
        PacedFifoWriter writer(privateServer->fifoPath(), 48000, tone(440, 48000));
        writer.start();

        AudioManager manager(std::make_unique<PulseAudioCaptureDevice>(privateServer->address()));
        QStringList events;
        manager.onAudioLevelChanged = [&](float level) {
            events << QStringLiteral("level %1").arg(level > 0 ? 1 : 0);
        };
        manager.onRecordingInterrupted = [&] { events << QStringLiteral("interrupted"); };
        std::atomic<int> formerReceiverChunks{0};
        manager.onAudioDataReceived = [&](const QByteArray&) { ++formerReceiverChunks; };
        QVERIFY(manager.startRecording(true));
        QTRY_VERIFY_WITH_TIMEOUT(manager.audioBuffer().size() >= 24000, timeoutMs);

        privateServer->kill();
        QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("interrupted")), timeoutMs);
        QCOMPARE(events.mid(events.size() - 2),
                 (QStringList{QStringLiteral("level 0"), QStringLiteral("interrupted")}));
        QVERIFY(hasLineStartingWith(
            QStringLiteral("PulseAudioCaptureDevice: Connection to the sound server lost: ")));
        QVERIFY(hasLineStartingWith(
            QStringLiteral("PulseAudioCaptureDevice: Could not connect to the sound server: ")));
        QVERIFY(hasLine(QStringLiteral("AudioManager: Retrying audio engine start after short warm-up")));
        QVERIFY(hasLine(
            QStringLiteral("AudioManager: Failed to restart audio engine during configuration change")));
        QVERIFY(!manager.isRecording());
        QVERIFY(!manager.onAudioDataReceived);
        QVERIFY(!manager.audioBuffer().isEmpty());
        QVERIFY(manager.getWAVData());
        QCOMPARE(events.count(QStringLiteral("interrupted")), 1);
        // The connection and the stream both report the loss: one recovery attempt.
        QCOMPARE(systemLog->infos().count(QStringLiteral("AudioManager: Audio engine configuration changed")),
                 1);
    }

    // No server at the address: the start fails with the reason in the log, after one retry.
    void startWithoutServerFails() {
        const QString address = QStringLiteral("unix:") + work.filePath(QStringLiteral("no-server"));
        AudioManager manager(std::make_unique<PulseAudioCaptureDevice>(address));
        QCOMPARE(manager.startRecording(true), std::nullopt);
        const QStringList lines = systemLog->infos();
        QCOMPARE(lines.count(QStringLiteral(
                     "AudioManager: Input hardware format is invalid; aborting recording start")),
                 2);
        QCOMPARE(lines.count(QStringLiteral("AudioManager: Retrying audio engine start after short warm-up")),
                 1);
        QVERIFY(hasLineStartingWith(
            QStringLiteral("PulseAudioCaptureDevice: Could not connect to the sound server: ")));
        QVERIFY(!manager.isRecording());
    }
};

QTEST_GUILESS_MAIN(PulseCaptureTest)
#include "tst_pulse_capture.moc"
