#include "audio/AudioManager.h"

#include "audio/PcmConversion.h"
#include "audio/WavFile.h"
#include "dictation/AppLog.h"

#include <QLocale>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <cmath>

namespace {

// A rate as a decimal with at least one fractional digit: "48000.0", "44100.5".
QString formatRate(double rate) {
    if (std::isfinite(rate) && rate == std::floor(rate))
        return QString::number(rate, 'f', 1);
    return QString::number(rate, 'g', QLocale::FloatingPointShortest);
}

} // namespace

AudioManager::AudioManager(std::unique_ptr<AudioCaptureDevice> captureDevice, QObject* parent)
    : QObject(parent)
    , warmUpPause(
          [](std::chrono::milliseconds pause) { QThread::msleep(static_cast<unsigned long>(pause.count())); })
    , device(std::move(captureDevice)) {}

AudioManager::~AudioManager() {
    // The stream's callbacks hold this object: no callback may outlive it.
    if (device)
        device->stop();
}

std::optional<double> AudioManager::startRecording(bool resetBuffer) {
    std::optional<double> fixedRate;
    {
        // Appending to a recording at another rate would make it play at the wrong speed.
        std::lock_guard lock(bufferMutex);
        if (!resetBuffer && !buffer.isEmpty())
            fixedRate = sampleRate;
    }
    return startCapture(resetBuffer, fixedRate);
}

std::optional<double> AudioManager::startCapture(bool resetBuffer, std::optional<double> fixedRate) {
    if (recording)
        return sampleRate;
    if (resetBuffer) {
        std::lock_guard lock(bufferMutex);
        buffer.clear();
    }
    tearDown();
    if (const auto rate = attemptStart(fixedRate))
        return rate;

    appLog(QStringLiteral("AudioManager: Retrying audio engine start after short warm-up"));
    if (warmUpPause)
        warmUpPause(warmUpDelay);
    tearDown();
    return attemptStart(fixedRate);
}

std::optional<double> AudioManager::attemptStart(std::optional<double> fixedRate) {
    if (!device) {
        appLog(QStringLiteral("AudioManager: Input hardware format is invalid; aborting recording start"));
        return std::nullopt;
    }
    const AudioCaptureDevice::InputFormats formats = device->probeInput();
    if (!formats.hardware.isValid()) {
        appLog(QStringLiteral("AudioManager: Input hardware format is invalid; aborting recording start"));
        return std::nullopt;
    }
    if (!formats.native.isValid()) {
        appLog(QStringLiteral("AudioManager: Native input format is invalid; aborting recording start"));
        return std::nullopt;
    }

    const double rate = fixedRate.value_or(formats.native.sampleRate);
    if (fixedRate && *fixedRate != formats.native.sampleRate) {
        appLog(QStringLiteral("AudioManager: Input runs at %1 Hz; keeping the recording at %2 Hz")
                   .arg(formatRate(formats.native.sampleRate), formatRate(*fixedRate)));
    }
    sampleRate = rate;

    const quint64 session = ++latestSession;
    AudioCaptureDevice::StreamCallbacks callbacks;
    callbacks.onSamples = [this](std::span<const float> samples) { processCapturedSamples(samples); };
    callbacks.onConfigurationChanged = [this, session] {
        QMetaObject::invokeMethod(
            this, [this, session] { handleConfigurationChange(session); }, Qt::QueuedConnection);
    };

    const AudioCaptureDevice::StartResult result =
        device->start({rate, framesPerBuffer}, std::move(callbacks));
    if (!result.started) {
        device->stop();
        appLog(QStringLiteral("AudioManager: Failed to start audio engine: ") + result.errorDescription);
        return std::nullopt;
    }
    deviceOpen = true;
    recording = true;
    appLog(
        QStringLiteral("AudioManager: Recording started at %1 Hz, native channels: %2, hardware channels: %3")
            .arg(formatRate(rate))
            .arg(formats.native.channelCount)
            .arg(formats.hardware.channelCount));
    return rate;
}

void AudioManager::tearDown() {
    if (device)
        device->stop();
    deviceOpen = false;
}

void AudioManager::stopRecording() {
    if (!recording)
        return;
    tearDown();
    recording = false;
    appLog(QStringLiteral("AudioManager: Recording stopped"));
}

std::optional<QByteArray> AudioManager::getWAVData() const {
    QByteArray pcm = audioBuffer();
    if (pcm.isEmpty())
        return std::nullopt;
    // The rate is whole in practice; a fraction is dropped as the header cannot carry it.
    return WavFile::fromPcm16Mono(pcm, static_cast<quint32>(sampleRate));
}

void AudioManager::requestPermission(std::function<void(bool granted)> completion) {
    if (!completion)
        return;
    QMetaObject::invokeMethod(
        this, [completion = std::move(completion)] { completion(true); }, Qt::QueuedConnection);
}

QByteArray AudioManager::audioBuffer() const {
    // A shared copy: the capture thread's next append detaches outside this lock.
    std::lock_guard lock(bufferMutex);
    return buffer;
}

void AudioManager::clearAudioBuffer() {
    QByteArray dropped;
    {
        std::lock_guard lock(bufferMutex);
        dropped.swap(buffer);
    }
    // The old recording is freed here, outside the lock the capture thread takes.
}

void AudioManager::processCapturedSamples(std::span<const float> samples) {
    if (samples.empty())
        return;

    const float level = PcmConversion::audioLevel(samples);
    QMetaObject::invokeMethod(
        this,
        [this, level] {
            if (onAudioLevelChanged)
                onAudioLevelChanged(level);
        },
        Qt::QueuedConnection);

    const QByteArray chunk = PcmConversion::makeChunk(samples);
    {
        std::lock_guard lock(bufferMutex);
        buffer.append(chunk);
    }
    onAudioDataReceived(chunk);
}

void AudioManager::handleConfigurationChange(quint64 session) {
    if (session != latestSession)
        return; // about a stream that has been replaced or whose change was handled

    appLog(QStringLiteral("AudioManager: Audio engine configuration changed"));
    // One change is often reported more than once (the stream moved, its source removed, the
    // connection lost): later reports about the same stream are settled by this one.
    ++latestSession;
    if (!recording) {
        tearDown();
        return;
    }

    appLog(QStringLiteral("AudioManager: Attempting to recover from configuration change"));
    recording = false;
    // The receiver and the WAV header were given the recording's rate: the new stream keeps it.
    if (const auto rate = startCapture(false, sampleRate)) {
        appLog(QStringLiteral("AudioManager: Successfully recovered engine, new sample rate: ") +
               formatRate(*rate));
        return;
    }

    appLog(QStringLiteral("AudioManager: Failed to restart audio engine during configuration change"));
    recording = false;
    tearDown();
    onAudioDataReceived = nullptr;
    QPointer<AudioManager> self(this);
    QMetaObject::invokeMethod(
        this,
        [self] {
            if (self && self->onAudioLevelChanged)
                self->onAudioLevelChanged(0.0f);
            if (self && self->onRecordingInterrupted)
                self->onRecordingInterrupted();
        },
        Qt::QueuedConnection);
}
