#include "realtime/RealtimeAudioResampler.h"

#include "realtime/RealtimeProtocol.h"

#include <cmath>
#include <cstring>

namespace RealtimeAudioResampler {

QByteArray resample(const QByteArray& pcm, double sourceRate) {
    constexpr double targetRate = RealtimeProtocol::wireSampleRate;
    if (sourceRate == targetRate || !std::isfinite(sourceRate) || sourceRate <= 0)
        return pcm;
    const qsizetype sampleCount = pcm.size() / 2;
    if (sampleCount == 0)
        return QByteArray();

    const double ratio = sourceRate / targetRate;
    if (ratio == std::floor(ratio)) {
        // Whole ratios (48 kHz, 32 kHz) step by an integer: the same samples, without the float walk.
        const auto step = static_cast<qsizetype>(ratio);
        const qsizetype kept = (sampleCount + step - 1) / step;
        QByteArray out(kept * 2, Qt::Uninitialized);
        const auto* source = reinterpret_cast<const quint16*>(pcm.constData());
        auto* target = reinterpret_cast<quint16*>(out.data());
        for (qsizetype i = 0; i < kept; ++i)
            std::memcpy(target + i, source + i * step, 2);
        return out;
    }
    const auto capacity = static_cast<qsizetype>(std::ceil(double(sampleCount) / ratio)) + 2;
    QByteArray out(capacity * 2, Qt::Uninitialized);
    const char* source = pcm.constData();
    char* target = out.data();
    qsizetype written = 0;
    qsizetype index = 0;
    double position = 0.0;
    while (index < sampleCount && written < capacity) {
        std::memcpy(target + written * 2, source + index * 2, 2);
        ++written;
        position += ratio;
        index = static_cast<qsizetype>(position);
    }
    out.truncate(written * 2);
    return out;
}

} // namespace RealtimeAudioResampler
