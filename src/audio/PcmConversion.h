#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <span>

// The arithmetic of one captured buffer: its loudness for the on-screen waveform and its 16-bit
// PCM chunk (signed little-endian mono, no header).
namespace PcmConversion {

// 1.0 and above give 32767; -1.0 and below give -32767 (the scale is symmetric, -32768 is never
// produced); everything else is scaled by 32767 and truncated toward zero. NaN gives 0.
qint16 toInt16Sample(float value);

QByteArray makeChunk(std::span<const float> samples);

// sqrt(min(rms * 50, 1)): silence 0, rms 0.005 gives 0.5, rms 0.02 and above 1. An empty buffer gives 0.
float audioLevel(std::span<const float> samples);

} // namespace PcmConversion
