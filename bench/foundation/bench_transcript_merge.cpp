#include "dictation/AppLog.h"
#include "realtime/CommittedTranscriptAccumulator.h"

#include <benchmark/benchmark.h>

#include <QString>
#include <QTemporaryDir>

// One merge against a long session: 10,000 accumulated characters and a 200-character commit of new
// speech that overlaps the tail (the common case at the end of a long dictation).
static void mergeIntoLongTranscript(benchmark::State& state, bool overlapping) {
    setAppLogToStandardOutput(false);
    // Keep the benchmark's log lines out of the user's own diagnostics file.
    const QTemporaryDir logFolder;
    qputenv("XDG_STATE_HOME", logFolder.path().toUtf8());
    const QString words = QStringLiteral("the quick brown fox jumps over the lazy dog and ");
    QString accumulated;
    while (accumulated.size() < 10'000)
        accumulated += words;
    accumulated.truncate(10'000);
    accumulated = accumulated.trimmed() + QStringLiteral(" tail end of speech");
    QString committed = overlapping ? QStringLiteral("tail end of speech, then something new is said about ")
                                    : QStringLiteral("Then something new is said about ");
    while (committed.size() < 200)
        committed += QStringLiteral("voices ");
    committed.truncate(200);

    CommittedTranscriptAccumulator start;
    start.mergeCommittedTranscript(accumulated);
    for (auto _ : state) {
        CommittedTranscriptAccumulator accumulator = start; // the text is shared until the merge writes
        benchmark::DoNotOptimize(accumulator.mergeCommittedTranscript(committed));
    }
}
// Deduplicating the overlap also writes one log line.
static void BM_MergeOverlappingCommit(benchmark::State& state) {
    mergeIntoLongTranscript(state, true);
}
// New speech only: the merge alone, no log line.
static void BM_MergeNewSpeech(benchmark::State& state) {
    mergeIntoLongTranscript(state, false);
}
BENCHMARK(BM_MergeOverlappingCommit)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MergeNewSpeech)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
