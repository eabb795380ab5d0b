#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <thread>

// Feeds a virtual microphone's FIFO in real time. The server's pipe source takes whatever is written
// at once, so an unpaced writer would hand over seconds of audio in an instant.
class PacedFifoWriter {
public:
    // signal(frameIndex) gives the sample of each frame (32-bit float, mono).
    PacedFifoWriter(QString fifoPath, int sampleRate, std::function<float(qint64 frame)> signal);
    ~PacedFifoWriter(); // stops

    void start();
    void stop();
    qint64 framesWritten() const { return written; }
    bool failed() const { return writeFailed; }

private:
    void run();

    QString path;
    int rate;
    std::function<float(qint64)> signal;
    std::atomic<bool> stopping{false};
    std::atomic<qint64> written{0};
    std::atomic<bool> writeFailed{false};
    std::thread worker;
};
