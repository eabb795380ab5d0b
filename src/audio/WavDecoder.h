#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// A RIFF/WAVE file as the recogniser needs it: mono 16-bit samples at 16 kHz.
struct DecodedAudio {
    std::vector<std::int16_t> samples; // 16 kHz mono
    int sourceSampleRate = 0;
    int sourceChannels = 0;
    double seconds() const { return double(samples.size()) / 16000.0; }
};

struct WavDecodeResult {
    std::optional<DecodedAudio> audio;
    QString error; // why the bytes are not a usable WAV file, when audio is empty
};

namespace WavDecoder {

inline constexpr int targetSampleRate = 16000;

// Accepts integer PCM (8, 16, 24, 32 bit) and 32/64-bit float, 1 to 8 channels, 8 to 384 kHz,
// including WAVE_FORMAT_EXTENSIBLE. Channels are averaged, then the rate is converted.
WavDecodeResult decode(const QByteArray& bytes);

// Converts 16-bit mono samples between rates with a windowed-sinc low-pass, so that downsampling
// does not fold high frequencies into the speech band.
std::vector<std::int16_t> resample(std::span<const float> samples, int fromRate, int toRate);
std::vector<std::int16_t> resample(std::span<const std::int16_t> samples, int fromRate, int toRate);

} // namespace WavDecoder
