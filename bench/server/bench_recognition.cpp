// Realtime factor of speech recognition on this machine: seconds of processing per second of audio,
// for the general en-us model and for a JSGF grammar, batch and streamed in 100 ms chunks.
#include "SpeechRecognizer.h"
#include "audio/WavDecoder.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

namespace {

const char* const sentence = "please send the report before friday and remind me to call my sister";

struct Fixture {
    std::vector<std::int16_t> samples;
    QByteArray wav;
    QString grammar;
    QTemporaryDir dir;

    Fixture() {
        const QString path = dir.filePath(QStringLiteral("speech.wav"));
        QProcess::execute(QStringLiteral("espeak-ng"),
                          {QStringLiteral("-w"), path, QString::fromLatin1(sentence)});
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            wav = file.readAll();
        if (const WavDecodeResult r = WavDecoder::decode(wav); r.audio)
            samples = r.audio->samples;
        grammar = dir.filePath(QStringLiteral("g.jsgf"));
        QFile g(grammar);
        if (g.open(QIODevice::WriteOnly))
            g.write("#JSGF V1.0;\ngrammar bench;\npublic <u> = <s>+;\n<s> = please send the report before "
                    "friday | "
                    "and remind me to call my sister | hello world;\n");
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

std::unique_ptr<SpeechRecognizer> recognizer(bool grammar) {
    QString error;
    auto r = SpeechRecognizer::create(RecognizerModel{{}, grammar ? fixture().grammar : QString()}, &error);
    if (!r)
        std::fprintf(stderr, "recogniser: %s\n", qPrintable(error));
    return r;
}

void reportRealtimeFactor(benchmark::State& state, double processingSeconds) {
    const double audioSeconds = double(fixture().samples.size()) / 16000.0 * double(state.iterations());
    state.counters["realtime_factor"] = processingSeconds / audioSeconds;
    state.counters["audio_s"] = double(fixture().samples.size()) / 16000.0;
}

void BM_RecognizeBatch(benchmark::State& state) {
    const bool grammar = state.range(0) != 0;
    auto r = recognizer(grammar);
    if (!r || fixture().samples.empty()) {
        state.SkipWithError("no recogniser or no speech (espeak-ng missing?)");
        return;
    }
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(r->recognize(fixture().samples));
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.SetLabel(grammar ? "grammar" : "general model");
    reportRealtimeFactor(state, seconds);
}
BENCHMARK(BM_RecognizeBatch)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_RecognizeStreaming(benchmark::State& state) {
    const bool grammar = state.range(0) != 0;
    auto r = recognizer(grammar);
    if (!r || fixture().samples.empty()) {
        state.SkipWithError("no recogniser or no speech (espeak-ng missing?)");
        return;
    }
    const auto& s = fixture().samples;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        r->startUtterance();
        for (size_t i = 0; i < s.size(); i += 1600) {
            r->process(std::span<const std::int16_t>(s.data() + i, std::min<size_t>(1600, s.size() - i)));
            benchmark::DoNotOptimize(r->inSpeech() ? r->hypothesis() : QString());
        }
        benchmark::DoNotOptimize(r->endUtterance());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.SetLabel(grammar ? "grammar, 100 ms chunks with partials"
                           : "general model, 100 ms chunks with partials");
    reportRealtimeFactor(state, seconds);
}
BENCHMARK(BM_RecognizeStreaming)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_DecodeAndResampleWav(benchmark::State& state) {
    if (fixture().wav.isEmpty()) {
        state.SkipWithError("no speech (espeak-ng missing?)");
        return;
    }
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(WavDecoder::decode(fixture().wav));
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.SetLabel("22.05 kHz to 16 kHz");
    reportRealtimeFactor(state, seconds);
}
BENCHMARK(BM_DecodeAndResampleWav)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
