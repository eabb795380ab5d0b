#include "dictation/AppLog.h"
#include "realtime/CommittedTranscriptAccumulator.h"

#include <benchmark/benchmark.h>

#include <QString>

// One merge against a long session: 10,000 accumulated characters and a 200-character commit of new
// speech that overlaps the tail (the common case at the end of a long dictation).
static void BM_MergeIntoLongTranscript(benchmark::State& state)
{
    setAppLogToStandardOutput(false);
    const QString words = QStringLiteral("the quick brown fox jumps over the lazy dog and ");
    QString accumulated;
    while (accumulated.size() < 10'000)
        accumulated += words;
    accumulated.truncate(10'000);
    accumulated = accumulated.trimmed() + QStringLiteral(" tail end of speech");
    QString committed = QStringLiteral("tail end of speech, then something new is said about ");
    while (committed.size() < 200)
        committed += QStringLiteral("voices ");
    committed.truncate(200);

    for (auto _ : state) {
        state.PauseTiming();
        CommittedTranscriptAccumulator accumulator;
        accumulator.mergeCommittedTranscript(accumulated);
        state.ResumeTiming();
        benchmark::DoNotOptimize(accumulator.mergeCommittedTranscript(committed));
    }
}
BENCHMARK(BM_MergeIntoLongTranscript)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
