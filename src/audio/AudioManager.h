#pragma once

#include "audio/AudioDataCallback.h"
#include "platform/AudioCaptureDevice.h"

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

// Records the default input while a dictation is held: turns each captured buffer into a 16-bit PCM
// chunk, meters its loudness, keeps the whole recording in memory and hands every chunk to a
// receiver as it arrives. Survives a change of input during a recording by reopening the stream on
// the input now present, at the recording's own rate, and tells its owner when that fails.
//
// Threads: every member function is called on the GUI thread (the thread the object lives on).
// onAudioDataReceived runs on the capture thread; onAudioLevelChanged and onRecordingInterrupted run
// on the GUI thread, posted from the event loop. The capture thread never waits for the GUI thread.
class AudioManager final : public QObject {
    Q_OBJECT

public:
    static constexpr int framesPerBuffer = 4096;
    static constexpr std::chrono::milliseconds warmUpDelay{150};

    explicit AudioManager(std::unique_ptr<AudioCaptureDevice> device, QObject* parent = nullptr);
    ~AudioManager() override;

    // Starts capture and returns the recording's sample rate in Hz, or nothing when the input cannot
    // be opened (after one retry). While recording it returns the current rate at once and changes
    // nothing. resetBuffer empties the kept recording first; without it capture appends, at the rate
    // already in use.
    std::optional<double> startRecording(bool resetBuffer);
    void stopRecording();
    // The kept recording as a WAV file, or nothing when there is none.
    std::optional<QByteArray> getWAVData() const;
    // There is no microphone permission to ask for on this desktop: answers true, posted to the GUI
    // thread.
    void requestPermission(std::function<void(bool granted)> completion);

    bool isRecording() const { return recording; }
    double currentSampleRate() const { return sampleRate; }
    // All PCM chunks since the last reset (a copy; safe while capture appends).
    QByteArray audioBuffer() const;
    // Drops the kept recording.
    void clearAudioBuffer();

    // Receives each PCM chunk (16-bit signed little-endian mono at currentSampleRate), on the capture
    // thread, while the capture device's own lock is held: the receiver must return quickly and never
    // wait for the GUI thread or for a lock the GUI thread may hold while calling this object. May be
    // installed or cleared at any time from the GUI thread.
    AudioDataCallback onAudioDataReceived;
    // The level of each captured buffer, 0 to 1, on the GUI thread.
    std::function<void(float level)> onAudioLevelChanged;
    // Capture was lost and could not be restarted, on the GUI thread.
    std::function<void()> onRecordingInterrupted;

    // Blocks the GUI thread for the warm-up pause before the second start attempt. Tests replace it.
    std::function<void(std::chrono::milliseconds)> warmUpPause;

private:
    std::optional<double> startCapture(bool resetBuffer, std::optional<double> fixedRate);
    std::optional<double> attemptStart(std::optional<double> fixedRate);
    void tearDown();
    void processCapturedSamples(std::span<const float> samples);
    void handleConfigurationChange(quint64 session);

    std::unique_ptr<AudioCaptureDevice> device;
    bool recording = false;
    bool deviceOpen = false;
    double sampleRate = 44100.0;
    // Identifies the stream whose changes still matter: a change reported by a stream that has been
    // replaced, or reported again after it was handled, does not start a second recovery.
    quint64 latestSession = 0;

    mutable std::mutex bufferMutex;
    QByteArray buffer;
};
