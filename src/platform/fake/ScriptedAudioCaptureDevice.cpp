#include "platform/fake/ScriptedAudioCaptureDevice.h"

void ScriptedAudioCaptureDevice::queueProbe(InputFormats formats) {
    std::lock_guard lock(mutex);
    probes.push_back(formats);
}

void ScriptedAudioCaptureDevice::queueStart(StartResult result) {
    std::lock_guard lock(mutex);
    starts.push_back(std::move(result));
}

void ScriptedAudioCaptureDevice::setDefaultFormats(InputFormats formats) {
    std::lock_guard lock(mutex);
    defaultFormats = formats;
}

AudioCaptureDevice::InputFormats ScriptedAudioCaptureDevice::probeInput() {
    std::lock_guard lock(mutex);
    ++probeCalls;
    if (probes.empty())
        return defaultFormats;
    const InputFormats next = probes.front();
    probes.pop_front();
    return next;
}

AudioCaptureDevice::StartResult ScriptedAudioCaptureDevice::start(const StreamRequest& request,
                                                                  StreamCallbacks callbacks) {
    std::lock_guard lock(mutex);
    requests.push_back(request);
    StartResult result{true, {}};
    if (!starts.empty()) {
        result = starts.front();
        starts.pop_front();
    }
    if (result.started) {
        active = std::move(callbacks);
        streaming = true;
    }
    return result;
}

void ScriptedAudioCaptureDevice::stop() {
    std::lock_guard lock(mutex);
    ++stops;
    streaming = false;
    active = {};
}

bool ScriptedAudioCaptureDevice::deliver(std::span<const float> samples) {
    std::lock_guard lock(mutex);
    if (!streaming || !active.onSamples)
        return false;
    active.onSamples(samples);
    return true;
}

bool ScriptedAudioCaptureDevice::reportConfigurationChange() {
    std::lock_guard lock(mutex);
    if (!streaming || !active.onConfigurationChanged)
        return false;
    active.onConfigurationChanged();
    return true;
}

bool ScriptedAudioCaptureDevice::isStreaming() const {
    std::lock_guard lock(mutex);
    return streaming;
}

int ScriptedAudioCaptureDevice::probeCount() const {
    std::lock_guard lock(mutex);
    return probeCalls;
}

int ScriptedAudioCaptureDevice::stopCount() const {
    std::lock_guard lock(mutex);
    return stops;
}

std::vector<AudioCaptureDevice::StreamRequest> ScriptedAudioCaptureDevice::startRequests() const {
    std::lock_guard lock(mutex);
    return requests;
}
