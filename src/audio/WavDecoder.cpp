#include "audio/WavDecoder.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

namespace {

constexpr quint16 formatPcm = 1;
constexpr quint16 formatFloat = 3;
constexpr quint16 formatExtensible = 0xFFFE;

quint16 u16(const char* p) {
    return qFromLittleEndian<quint16>(p);
}
quint32 u32(const char* p) {
    return qFromLittleEndian<quint32>(p);
}

WavDecodeResult failure(const QString& why) {
    return WavDecodeResult{std::nullopt, why};
}

float sampleAt(const char* p, int bits, bool isFloat) {
    if (isFloat) {
        if (bits == 32) {
            float v;
            std::memcpy(&v, p, 4);
            v = qFromLittleEndian(v);
            return std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) : 0.0f;
        }
        double v;
        std::memcpy(&v, p, 8);
        v = qFromLittleEndian(v);
        return std::isfinite(v) ? float(std::clamp(v, -1.0, 1.0)) : 0.0f;
    }
    switch (bits) {
    case 8:
        return (float(quint8(*p)) - 128.0f) / 128.0f;
    case 16:
        return float(qint16(u16(p))) / 32768.0f;
    case 24: {
        qint32 v = qint32(quint8(p[0])) | (qint32(quint8(p[1])) << 8) | (qint32(qint8(p[2])) << 16);
        return float(v) / 8388608.0f;
    }
    default:
        return float(double(qint32(u32(p))) / 2147483648.0);
    }
}

} // namespace

namespace WavDecoder {

WavDecodeResult decode(const QByteArray& bytes) {
    const char* data = bytes.constData();
    const qsizetype size = bytes.size();
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0)
        return failure(QStringLiteral("not a RIFF/WAVE file"));

    quint16 format = 0, channels = 0, bits = 0, blockAlign = 0;
    quint32 rate = 0;
    bool haveFormat = false;
    const char* pcm = nullptr;
    qsizetype pcmBytes = 0;
    qsizetype offset = 12;
    while (offset + 8 <= size) {
        const char* chunk = data + offset;
        const quint32 chunkSize = u32(chunk + 4);
        const qsizetype bodyOffset = offset + 8;
        const qsizetype available = size - bodyOffset;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (chunkSize < 16 || available < 16)
                return failure(QStringLiteral("format chunk too short"));
            const char* f = data + bodyOffset;
            format = u16(f);
            channels = u16(f + 2);
            rate = u32(f + 4);
            blockAlign = u16(f + 12);
            bits = u16(f + 14);
            if (format == formatExtensible) {
                if (chunkSize < 40 || available < 40)
                    return failure(QStringLiteral("extensible format chunk too short"));
                format = u16(f + 24); // the sub-format GUID begins with the format code
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat)
                return failure(QStringLiteral("data chunk before the format chunk"));
            pcm = data + bodyOffset;
            // Streamed recordings leave the size at 0 or 0xFFFFFFFF: take what is there.
            pcmBytes =
                (chunkSize == 0 || qsizetype(chunkSize) > available) ? available : qsizetype(chunkSize);
            break;
        }
        const qsizetype next = bodyOffset + qsizetype(chunkSize) + (chunkSize & 1);
        if (next <= offset)
            break;
        offset = next;
    }
    if (!haveFormat)
        return failure(QStringLiteral("no format chunk"));
    if (!pcm)
        return failure(QStringLiteral("no data chunk"));
    const bool isFloat = format == formatFloat;
    if (format != formatPcm && !isFloat)
        return failure(QStringLiteral("unsupported sample format %1").arg(format));
    if (isFloat ? (bits != 32 && bits != 64) : (bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return failure(QStringLiteral("unsupported sample size %1 bits").arg(bits));
    if (channels < 1 || channels > 8)
        return failure(QStringLiteral("unsupported channel count %1").arg(channels));
    if (rate < 8000 || rate > 384000)
        return failure(QStringLiteral("unsupported sample rate %1").arg(rate));
    const int bytesPerSample = bits / 8;
    const int frameBytes = bytesPerSample * channels;
    if (blockAlign != 0 && blockAlign != frameBytes)
        return failure(QStringLiteral("inconsistent block alignment"));

    const qsizetype frames = pcmBytes / frameBytes;
    std::vector<float> mono(static_cast<size_t>(frames));
    for (qsizetype i = 0; i < frames; ++i) {
        const char* frame = pcm + i * frameBytes;
        float sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += sampleAt(frame + c * bytesPerSample, bits, isFloat);
        mono[size_t(i)] = sum / float(channels);
    }
    DecodedAudio audio;
    audio.sourceSampleRate = int(rate);
    audio.sourceChannels = channels;
    audio.samples = resample(std::span<const float>(mono), int(rate), targetSampleRate);
    return WavDecodeResult{std::move(audio), {}};
}

std::vector<std::int16_t> resample(std::span<const float> samples, int fromRate, int toRate) {
    std::vector<std::int16_t> out;
    auto toInt16 = [](double v) { return std::int16_t(std::lround(std::clamp(v, -1.0, 1.0) * 32767.0)); };
    if (fromRate <= 0 || toRate <= 0 || samples.empty())
        return out;
    if (fromRate == toRate) {
        out.reserve(samples.size());
        for (float s : samples)
            out.push_back(toInt16(s));
        return out;
    }
    const double ratio = double(toRate) / double(fromRate);
    const double cutoff = std::min(1.0, ratio) * 0.9; // relative to the input Nyquist frequency
    const int halfWidth = int(std::ceil(24.0 / cutoff));
    const int taps = 2 * halfWidth;
    // Output sample i sits at input position i * step / phases; its fractional part takes only
    // `phases` values, so the windowed-sinc weights are computed once per phase.
    const int divisor = std::gcd(fromRate, toRate);
    const qint64 phases = toRate / divisor;
    const qint64 step = fromRate / divisor;
    auto weightsAt = [&](double frac, std::vector<double>& w) {
        w.assign(size_t(taps), 0.0);
        double sum = 0;
        for (int k = 0; k < taps; ++k) {
            const double x = double(k - halfWidth + 1) - frac;
            const double t = x * cutoff;
            const double sinc =
                std::abs(t) < 1e-9 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
            const double phase = std::numbers::pi * x / double(halfWidth); // Blackman window
            const double window =
                std::abs(x) >= halfWidth ? 0.0 : 0.42 + 0.5 * std::cos(phase) + 0.08 * std::cos(2 * phase);
            w[size_t(k)] = sinc * window;
            sum += w[size_t(k)];
        }
        for (double& v : w)
            v /= sum;
    };
    const bool tabulate = phases <= 4096;
    std::vector<std::vector<double>> table;
    if (tabulate) {
        table.resize(size_t(phases));
        for (qint64 p = 0; p < phases; ++p)
            weightsAt(double(p) / double(phases), table[size_t(p)]);
    }
    const auto n = qsizetype(samples.size());
    const size_t outCount = size_t((qint64(samples.size()) * phases) / step);
    out.reserve(outCount);
    std::vector<double> direct;
    for (size_t i = 0; i < outCount; ++i) {
        const qint64 position = qint64(i) * step;
        const qint64 whole = position / phases;
        const qint64 p = position % phases;
        if (!tabulate)
            weightsAt(double(p) / double(phases), direct);
        const std::vector<double>& w = tabulate ? table[size_t(p)] : direct;
        const qsizetype first = qsizetype(whole) - halfWidth + 1;
        double acc = 0, used = 0;
        for (int k = 0; k < taps; ++k) {
            const qsizetype j = first + k;
            if (j < 0 || j >= n)
                continue;
            acc += w[size_t(k)] * double(samples[size_t(j)]);
            used += w[size_t(k)];
        }
        // At the edges only part of the kernel has input: rescale so the level does not dip.
        out.push_back(toInt16(used > 0.5 ? acc / used : acc));
    }
    return out;
}

std::vector<std::int16_t> resample(std::span<const std::int16_t> samples, int fromRate, int toRate) {
    if (fromRate == toRate)
        return std::vector<std::int16_t>(samples.begin(), samples.end());
    std::vector<float> f(samples.size());
    std::transform(samples.begin(), samples.end(), f.begin(),
                   [](std::int16_t s) { return float(s) / 32768.0f; });
    return resample(std::span<const float>(f), fromRate, toRate);
}

} // namespace WavDecoder
