#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <span>

// The microphone behind one port: the default input of the desktop's sound system, opened as one
// stream of mono 32-bit float samples at a rate the caller chooses (the sound system converts
// channels and rate). One stream at a time.
class AudioCaptureDevice {
public:
    struct Format {
        double sampleRate = 0;
        int channelCount = 0;
        bool isValid() const { return channelCount > 0 && sampleRate > 0; }
    };

    // What the default input gives: the device's own format and the format the sound system serves
    // it in by default. Both are invalid (zero) when there is no input or no sound system; the device
    // has then logged why.
    struct InputFormats {
        Format hardware;
        Format native;
    };

    struct StreamRequest {
        double sampleRate = 0;
        int framesPerBuffer = 4096;
    };

    struct StreamCallbacks {
        // Each captured buffer, mono, at the requested rate. Called on the capture thread, never
        // after stop() has returned.
        std::function<void(std::span<const float> samples)> onSamples;
        // The stream's input went away or changed under it: moved to another input, its input
        // removed, the sound system gone. The device logs what happened. Called on the capture thread
        // (possibly more than once per change), never after stop() has returned. The stream may keep
        // delivering samples or not.
        std::function<void()> onConfigurationChanged;
    };

    struct StartResult {
        bool started = false;
        QString errorDescription; // why the stream could not start, when it did not
    };

    virtual ~AudioCaptureDevice() = default;

    // Describes the current default input. Called on the GUI thread.
    virtual InputFormats probeInput() = 0;
    // Opens the stream on the current default input and starts delivering. Called on the GUI thread.
    virtual StartResult start(const StreamRequest& request, StreamCallbacks callbacks) = 0;
    // Stops the stream (if any); no callback runs once it returns. Called on the GUI thread, never
    // from inside a callback.
    virtual void stop() = 0;
};
