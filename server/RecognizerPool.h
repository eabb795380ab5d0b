#pragma once

#include "SpeechRecognizer.h"

#include <QCoroTask>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// Decoders are expensive to build (the general model takes about a second and 100 MB), so they are
// kept and lent out, at most `capacity` at a time. Safe to use from any thread.
class RecognizerPool {
public:
    RecognizerPool(RecognizerModel model, int capacity);
    ~RecognizerPool();

    // Builds one decoder now, so that a missing model is reported at start-up.
    bool warmUp(QString* error);

    // A decoder to use on one thread; it goes back to the pool when released. Nothing when all are
    // lent (`busy` is then true) or a decoder cannot be built (the reason in `error`).
    std::shared_ptr<SpeechRecognizer> acquire(QString* error, bool* busy);

    struct Recognition {
        std::optional<QString> text;
        QString error;
        bool busy = false;
        qint64 processingMs = 0;
    };
    // Recognises a whole recording on a worker thread; the coroutine resumes on the calling thread.
    QCoro::Task<Recognition> recognize(std::vector<std::int16_t> samples);

    bool usesGrammar() const { return !m_model.grammarPath.isEmpty(); }
    QString modelName() const;

private:
    struct State;
    RecognizerModel m_model;
    std::shared_ptr<State> m_state;
};
