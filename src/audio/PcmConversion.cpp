#include "audio/PcmConversion.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace PcmConversion {

qint16 toInt16Sample(float value) {
    if (std::isnan(value))
        return 0;
    if (value > 1.0f)
        return 32767;
    return static_cast<qint16>(std::max(value, -1.0f) * 32767.0f);
}

QByteArray makeChunk(std::span<const float> samples) {
    QByteArray chunk(static_cast<qsizetype>(samples.size() * 2), Qt::Uninitialized);
    char* out = chunk.data();
    for (float sample : samples) {
        qToLittleEndian<qint16>(toInt16Sample(sample), out);
        out += 2;
    }
    return chunk;
}

float audioLevel(std::span<const float> samples) {
    if (samples.empty())
        return 0.0f;
    double sumOfSquares = 0;
    for (float sample : samples)
        sumOfSquares += static_cast<double>(sample) * sample;
    const double rms = std::sqrt(sumOfSquares / static_cast<double>(samples.size()));
    if (!std::isfinite(rms))
        return 1.0f;
    return static_cast<float>(std::sqrt(std::min(rms * 50.0, 1.0)));
}

} // namespace PcmConversion
