#pragma once

#include "platform/AudioCaptureDevice.h"

#include <deque>
#include <mutex>
#include <vector>

// A capture device whose answers a test scripts and whose samples a test delivers, from any thread.
// Like a real device, it never calls back once stop() has returned: delivery and stop() share a lock.
class ScriptedAudioCaptureDevice final : public AudioCaptureDevice {
public:
    // Answers to probeInput() and start(), used in order; once a queue is empty the defaults answer.
    void queueProbe(InputFormats formats);
    void queueStart(StartResult result);
    void setDefaultFormats(InputFormats formats);

    InputFormats probeInput() override;
    StartResult start(const StreamRequest& request, StreamCallbacks callbacks) override;
    void stop() override;

    // Hands samples to the open stream, on the calling thread. False when no stream is open.
    bool deliver(std::span<const float> samples);
    bool deliver(const std::vector<float>& samples) { return deliver(std::span<const float>(samples)); }
    // Reports that the open stream's input changed. False when no stream is open.
    bool reportConfigurationChange();

    bool isStreaming() const;
    int probeCount() const;
    int stopCount() const;
    std::vector<StreamRequest> startRequests() const;

private:
    mutable std::mutex mutex;
    std::deque<InputFormats> probes;
    std::deque<StartResult> starts;
    InputFormats defaultFormats{{48000.0, 1}, {48000.0, 1}};
    std::vector<StreamRequest> requests;
    StreamCallbacks active;
    bool streaming = false;
    int probeCalls = 0;
    int stops = 0;
};
