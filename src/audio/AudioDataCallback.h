#pragma once

#include <QByteArray>

#include <functional>
#include <memory>
#include <mutex>

// The receiver of PCM chunks. It is installed and cleared on the GUI thread while the capture thread
// calls it, so it is held behind a short lock. The lock is never held while the receiver runs (a
// receiver may take its own locks, and whoever installs it may hold them): a chunk whose delivery
// began before a clear may still arrive, every later one does not.
class AudioDataCallback {
public:
    using Function = std::function<void(const QByteArray& chunk)>;

    AudioDataCallback() = default;
    AudioDataCallback(const AudioDataCallback&) = delete;
    AudioDataCallback& operator=(const AudioDataCallback&) = delete;

    AudioDataCallback& operator=(Function function) {
        auto held = function ? std::make_shared<const Function>(std::move(function)) : nullptr;
        std::lock_guard lock(mutex);
        current = std::move(held);
        return *this;
    }
    AudioDataCallback& operator=(std::nullptr_t) { return *this = Function(); }

    explicit operator bool() const {
        std::lock_guard lock(mutex);
        return current != nullptr;
    }

    // Calls the receiver, if one is installed.
    void operator()(const QByteArray& chunk) const {
        std::shared_ptr<const Function> receiver;
        {
            std::lock_guard lock(mutex);
            receiver = current;
        }
        if (receiver)
            (*receiver)(chunk);
    }

private:
    mutable std::mutex mutex;
    std::shared_ptr<const Function> current;
};
