#include "platform/file/WavFileCaptureDevice.h"

#include <algorithm>
#include <chrono>

WavFileCaptureDevice::WavFileCaptureDevice(std::vector<float> input, double sampleRate, bool realTime)
    : samples(std::move(input))
    , rate(sampleRate)
    , paced(realTime) {}

WavFileCaptureDevice::~WavFileCaptureDevice() {
    stop();
}

AudioCaptureDevice::InputFormats WavFileCaptureDevice::probeInput() {
    return {{rate, 1}, {rate, 1}};
}

AudioCaptureDevice::StartResult WavFileCaptureDevice::start(const StreamRequest& request,
                                                            StreamCallbacks callbacks) {
    stop();
    if (request.sampleRate != rate)
        return {false, QStringLiteral("the recording plays at %1 Hz only").arg(rate)};
    stopping = false;
    worker = std::thread([this, callbacks = std::move(callbacks), frames = request.framesPerBuffer] {
        run(callbacks, std::max(frames, 1));
    });
    return {true, QString()};
}

void WavFileCaptureDevice::beginDelivery() {
    delivering = true;
}

void WavFileCaptureDevice::stop() {
    stopping = true;
    if (worker.joinable())
        worker.join();
}

void WavFileCaptureDevice::run(StreamCallbacks callbacks, int framesPerBuffer) {
    using Clock = std::chrono::steady_clock;
    while (!stopping && !delivering)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto begin = Clock::now();
    std::size_t position = 0;
    while (!stopping && position < samples.size()) {
        const std::size_t count = std::min<std::size_t>(framesPerBuffer, samples.size() - position);
        if (paced) {
            // Deliver each buffer when a live input would have filled it.
            const auto due = begin + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>((position + count) / rate));
            while (!stopping && Clock::now() < due)
                std::this_thread::sleep_for(
                    std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(20)));
            if (stopping)
                return;
        }
        if (callbacks.onSamples)
            callbacks.onSamples(std::span<const float>(samples.data() + position, count));
        position += count;
    }
    if (!stopping && onFinished)
        onFinished();
}
