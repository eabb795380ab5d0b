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
