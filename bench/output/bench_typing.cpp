#include "TypingTarget.h"
#include "dictation/AppLog.h"
#include "dictation/TextHelpers.h"
#include "output/KeyboardManager.h"
#include "platform/x11/X11Workspace.h"
#include "platform/x11/XTestKeyboardSink.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <memory>

// Typing throughput into a real window on the X display (the test display of scripts/services/x11.sh):
// the time from the start of typeText until the window has received every character, with the
// received text compared exactly (a benchmark that loses a character reports an error).

namespace {

QString asciiText() {
    const QString sentence =
        QStringLiteral("The quick brown fox jumps over the lazy dog, then rests (3 times!). ");
    QString text;
    while (text.size() < 2000)
        text += sentence;
    text.truncate(2000);
    return text;
}

QString mixedText() {
    const QStringList words =
        QStringLiteral("Déjà vu façade Øresund Straße Łódź Καλημέρα κόσμε 你好世界 日本語 "
                       "한국어 👍🏿 👨‍👩‍👧‍👦 🇵🇹 ❤️ naïve €5 ñandú")
            .split(QLatin1Char(' '));
    QString text;
    for (int index = 0; TextHelpers::characterCount(text) < 400; ++index)
        text += words[(index * 5) % words.size()] + QLatin1Char(' ');
    return TextHelpers::characters(text).mid(0, 400).join(QString());
}

void typeInto(benchmark::State& state, const QString& text) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("no X display: run under scripts/services/x11.sh (DISPLAY)");
        return;
    }
    QTemporaryDir stateDir;
    qputenv("XDG_STATE_HOME", stateDir.path().toUtf8());
    auto sink = std::make_shared<XTestKeyboardSink>();
    auto workspace = std::make_shared<X11Workspace>();
    if (sink->unavailableReason()) {
        state.SkipWithError(qPrintable(*sink->unavailableReason()));
        return;
    }
    KeyboardManager manager(sink, workspace);
    TypingTarget target;
    if (!target.start()) {
        state.SkipWithError(qPrintable(target.error()));
        return;
    }

    QString expected;
    for (auto _ : state) {
        expected += text;
        QElapsedTimer timer;
        timer.start();
        QCoro::waitFor(manager.typeText(text, std::nullopt));
        const QString received = target.waitFor(expected, 30'000);
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        if (received != expected) {
            state.SkipWithError("the window did not receive the text exactly");
            return;
        }
    }
    state.counters["characters"] = benchmark::Counter(double(TextHelpers::characterCount(text)),
                                                      benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Type2000AsciiCharacters(benchmark::State& state) {
    typeInto(state, asciiText());
}
void BM_Type400MixedCharacters(benchmark::State& state) {
    typeInto(state, mixedText());
}

} // namespace

BENCHMARK(BM_Type2000AsciiCharacters)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Type400MixedCharacters)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    setAppLogToStandardOutput(false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
