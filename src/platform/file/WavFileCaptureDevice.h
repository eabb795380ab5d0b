#pragma once

#include "platform/AudioCaptureDevice.h"

#include <QString>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

// A microphone that plays a recording: the samples of a WAV file, delivered in buffers from a thread of
// its own, paced as a live input would deliver them (or as fast as they are taken). For running whole
// dictations from scripts and benchmarks.
class WavFileCaptureDevice final : public AudioCaptureDevice {
public:
    // Mono samples at `sampleRate`, from -1 to 1.
    WavFileCaptureDevice(std::vector<float> samples, double sampleRate, bool realTime);
    ~WavFileCaptureDevice() override;

    // Called on the capture thread once the last sample has been delivered.
    std::function<void()> onFinished;
    // Nothing is delivered until this is called: a recording fed faster than real time would otherwise
    // be over before whoever started the stream has installed its receivers.
    void beginDelivery();

    InputFormats probeInput() override;
    StartResult start(const StreamRequest& request, StreamCallbacks callbacks) override;
    void stop() override;

private:
    void run(StreamCallbacks callbacks, int framesPerBuffer);

    const std::vector<float> samples;
    const double rate;
    const bool paced;
    std::thread worker;
    std::atomic<bool> stopping{false};
    std::atomic<bool> delivering{false};
};
