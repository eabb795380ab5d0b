#include "RecognizerPool.h"

#include <QCoroFuture>
#include <QElapsedTimer>
#include <QPromise>
#include <QThreadPool>

#include <mutex>

struct RecognizerPool::State {
    std::mutex mutex;
    std::vector<std::unique_ptr<SpeechRecognizer>> idle;
    int lent = 0;
    int capacity = 1;
};

RecognizerPool::RecognizerPool(RecognizerModel model, int capacity)
    : m_model(std::move(model))
    , m_state(std::make_shared<State>()) {
    m_state->capacity = std::max(1, capacity);
}

RecognizerPool::~RecognizerPool() {
    // Recognitions still running use this pool.
    QThreadPool::globalInstance()->waitForDone();
}

QString RecognizerPool::modelName() const {
    return usesGrammar() ? QStringLiteral("pocketsphinx-en-us-jsgf") : QStringLiteral("pocketsphinx-en-us");
}

bool RecognizerPool::warmUp(QString* error) {
    bool busy = false;
    return acquire(error, &busy) != nullptr;
}

std::shared_ptr<SpeechRecognizer> RecognizerPool::acquire(QString* error, bool* busy) {
    std::unique_ptr<SpeechRecognizer> recognizer;
    {
        std::lock_guard lock(m_state->mutex);
        *busy = false;
        if (!m_state->idle.empty()) {
            recognizer = std::move(m_state->idle.back());
            m_state->idle.pop_back();
        } else if (m_state->lent >= m_state->capacity) {
            *busy = true;
            if (error)
                *error = QStringLiteral("all %1 speech decoders are in use").arg(m_state->capacity);
            return nullptr;
        }
        ++m_state->lent;
    }
    if (!recognizer) {
        recognizer = SpeechRecognizer::create(m_model, error);
        if (!recognizer) {
            std::lock_guard lock(m_state->mutex);
            --m_state->lent;
            return nullptr;
        }
    }
    std::weak_ptr<State> weakState = m_state;
    return std::shared_ptr<SpeechRecognizer>(recognizer.release(), [weakState](SpeechRecognizer* r) {
        std::unique_ptr<SpeechRecognizer> owned(r);
        if (auto state = weakState.lock()) {
            std::lock_guard lock(state->mutex);
            --state->lent;
            state->idle.push_back(std::move(owned));
        }
    });
}

QCoro::Task<RecognizerPool::Recognition> RecognizerPool::recognize(std::vector<std::int16_t> samples) {
    auto promise = std::make_shared<QPromise<Recognition>>();
    QFuture<Recognition> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([this, promise, samples = std::move(samples)] {
        Recognition result;
        QElapsedTimer timer;
        timer.start();
        std::shared_ptr<SpeechRecognizer> recognizer = acquire(&result.error, &result.busy);
        if (recognizer)
            result.text = recognizer->recognize(samples);
        result.processingMs = timer.elapsed();
        promise->addResult(result);
        promise->finish();
    });
    co_return co_await future;
}
