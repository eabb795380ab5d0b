#include "PacedFifoWriter.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

PacedFifoWriter::PacedFifoWriter(QString fifoPath, int sampleRate, std::function<float(qint64)> generator)
    : path(std::move(fifoPath))
    , rate(sampleRate)
    , signal(std::move(generator)) {}

PacedFifoWriter::~PacedFifoWriter() {
    stop();
}

void PacedFifoWriter::start() {
    stopping = false;
    worker = std::thread([this] { run(); });
}

void PacedFifoWriter::stop() {
    stopping = true;
    if (worker.joinable())
        worker.join();
}

void PacedFifoWriter::run() {
    const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        writeFailed = true;
        return;
    }
    const int framesPerBlock = rate / 100; // 10 ms
    const auto started = std::chrono::steady_clock::now();
    std::vector<float> block(static_cast<size_t>(framesPerBlock));
    for (qint64 blockIndex = 0; !stopping; ++blockIndex) {
        for (int i = 0; i < framesPerBlock; ++i)
            block[static_cast<size_t>(i)] = signal(blockIndex * framesPerBlock + i);
        const char* bytes = reinterpret_cast<const char*>(block.data());
        size_t remaining = block.size() * sizeof(float);
        while (remaining > 0 && !stopping) {
            const ssize_t n = ::write(fd, bytes, remaining);
            if (n > 0) {
                bytes += n;
                remaining -= static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd wait{fd, POLLOUT, 0};
                ::poll(&wait, 1, 20);
            } else if (n < 0 && errno != EINTR) {
                writeFailed = true; // the reader is gone
                ::close(fd);
                return;
            }
        }
        written += framesPerBlock;
        std::this_thread::sleep_until(started + std::chrono::milliseconds(10 * (blockIndex + 1)));
    }
    ::close(fd);
}
