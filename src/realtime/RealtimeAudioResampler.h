#pragma once

#include <QByteArray>

// Brings 16-bit mono PCM to the wire rate by picking samples at a fixed step, without filtering or
// interpolation: cheap enough for the capture thread, and good enough for speech recognition.
namespace RealtimeAudioResampler {

// Source rates above the wire rate drop samples (48 kHz keeps samples 0, 3, 6, ...); rates below it
// repeat samples, so the audio keeps its duration and pitch. A chunk at the wire rate, or with a rate
// that is not a positive number, is returned unchanged. A trailing odd byte is dropped.
QByteArray resample(const QByteArray& pcm, double sourceRate);

} // namespace RealtimeAudioResampler
