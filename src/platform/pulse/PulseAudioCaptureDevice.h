#pragma once

#include "platform/AudioCaptureDevice.h"

#include <memory>

// The default input of a PulseAudio server (or of PipeWire's PulseAudio service), captured through
// libpulse's threaded main loop. The stream follows the server's default source; a move to another
// source, the removal of its source, a new default source and the loss of the server are reported
// as configuration changes. Samples and reports come on the main loop's thread.
class PulseAudioCaptureDevice final : public AudioCaptureDevice {
public:
    // serverAddress: a libpulse server string such as "unix:/run/user/1000/pulse/native"; empty for
    // the desktop's own server.
    explicit PulseAudioCaptureDevice(QString serverAddress = {});
    ~PulseAudioCaptureDevice() override;

    PulseAudioCaptureDevice(const PulseAudioCaptureDevice&) = delete;
    PulseAudioCaptureDevice& operator=(const PulseAudioCaptureDevice&) = delete;

    InputFormats probeInput() override;
    StartResult start(const StreamRequest& request, StreamCallbacks callbacks) override;
    void stop() override;

    // The source the open stream records from, or empty.
    QString currentSourceName() const;

private:
    struct Connection;
    QString serverAddress;
    std::unique_ptr<Connection> connection;
};
