// The capture thread's share of streaming: resampling a 48 kHz chunk, Base64 and JSON encoding, and the
// append to the queue (before the session starts) or the hand-off to the socket's thread (after).

#include "dictation/AppLog.h"
#include "realtime/ElevenLabsRealtimeService.h"
#include "realtime/RealtimeAudioResampler.h"
#include "realtime/RealtimeProtocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtEndian>

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace {

// 4096 frames of a 440 Hz tone at 48 kHz: 8192 bytes, the size one capture buffer delivers.
QByteArray captureChunk() {
    QByteArray chunk(8192, Qt::Uninitialized);
    for (int i = 0; i < 4096; ++i)
        qToLittleEndian<qint16>(qint16(8000 * std::sin(2 * M_PI * 440 * i / 48000.0)), chunk.data() + 2 * i);
    return chunk;
}

bool spinUntil(const std::function<bool()>& condition) {
    QDeadlineTimer deadline(10000);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return condition();
}

// A local proxy that announces the session at once and discards what it receives.
struct LoopbackProxy {
    QWebSocketServer server{QStringLiteral("bench"), QWebSocketServer::NonSecureMode};
    qint64 received = 0;

    LoopbackProxy() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QWebSocketServer::newConnection, &server, [this] {
            QWebSocket* socket = server.nextPendingConnection();
            QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                             [this](const QString&) { ++received; });
            socket->sendTextMessage(RealtimeProtocol::encodeSessionStarted({}));
        });
    }
    QUrl baseURL() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort())); }
};

void BM_ResampleAndEncode(benchmark::State& state) {
    const QByteArray chunk = captureChunk();
    for (auto _ : state) {
        QString message = RealtimeProtocol::encodeAudioChunk(RealtimeAudioResampler::resample(chunk, 48000));
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_ResampleAndEncode);

void BM_SendAudioBeforeSessionStart(benchmark::State& state) {
    const QByteArray chunk = captureChunk();
    ElevenLabsRealtimeService service;
    // No token provider: the session never starts and every chunk is queued.
    service.connect(48000);
    QCoreApplication::processEvents();
    int sinceReset = 0;
    for (auto _ : state) {
        service.sendAudio(chunk);
        if (++sinceReset == 512) {
            state.PauseTiming();
            service.connect(48000); // empties the queue
            QCoreApplication::processEvents();
            sinceReset = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_SendAudioBeforeSessionStart);

void BM_SendAudioDuringSession(benchmark::State& state) {
    const QByteArray chunk = captureChunk();
    LoopbackProxy proxy;
    ElevenLabsRealtimeService service;
    service.proxyBaseURL = proxy.baseURL();
    service.accessTokenProvider = []() -> QCoro::Task<std::optional<QString>> {
        co_return QStringLiteral("bench");
    };
    service.connect(48000);
    if (!spinUntil([&] { return service.isSessionStarted(); })) {
        state.SkipWithError("the loopback session did not start");
        return;
    }
    int sinceDrain = 0;
    for (auto _ : state) {
        service.sendAudio(chunk);
        if (++sinceDrain == 256) {
            // The socket's thread sends what was handed over; not part of the capture thread's cost.
            state.PauseTiming();
            const qint64 expected = service.audioCounters().sentAudioChunkCount;
            spinUntil([&] { return proxy.received >= expected; });
            sinceDrain = 0;
            state.ResumeTiming();
        }
    }
    service.disconnect();
}
BENCHMARK(BM_SendAudioDuringSession);

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir stateHome;
    qputenv("XDG_STATE_HOME", stateHome.path().toUtf8());
    QCoreApplication app(argc, argv);
    setAppLogToStandardOutput(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
