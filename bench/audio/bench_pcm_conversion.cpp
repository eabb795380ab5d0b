#include "audio/PcmConversion.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

// The work the capture thread does for every buffer before handing the chunk on: the level and the
// 16-bit chunk of 4096 frames (about 85 ms of audio at 48 kHz).
static void BM_CapturedBufferConversion(benchmark::State& state) {
    std::vector<float> samples(4096);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(0.8 * std::sin(static_cast<double>(i) * 0.13));
    for (auto _ : state) {
        benchmark::DoNotOptimize(PcmConversion::audioLevel(samples));
        benchmark::DoNotOptimize(PcmConversion::makeChunk(samples));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(samples.size()));
}
BENCHMARK(BM_CapturedBufferConversion);

BENCHMARK_MAIN();
