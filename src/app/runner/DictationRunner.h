#pragma once

#include "dictation/AIFormatPreset.h"
#include "dictation/DictationMode.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <qcorotask.h>

#include <optional>

class AppState;
class CollectingKeyboardSink;

// Runs one whole dictation from a WAV file, as if it came from the microphone: signs in, records the
// file through the session controller, lets the mode's finalisation run against the configured
// backend, and prints (or types) the text.
class DictationRunner : public QObject {
    Q_OBJECT

public:
    struct Options {
        DictationMode mode = DictationMode::flash;
        std::optional<AIFormatPreset> style;
        std::optional<QString> language;
        QString wavPath;
        std::optional<QString> tokenFile;
        std::optional<QString> infoFile;
        bool realTime = true;
        bool typeWithKeyboard = false;
        bool verbose = false;
        int timeoutSeconds = 180;
    };

    enum ExitCode { typed = 0, nothingTyped = 1, usageError = 2, refused = 3, timedOut = 4, inputError = 5 };

    // Nothing (with the reason in `error`) when the arguments do not make a run.
    static std::optional<Options> parse(const QStringList& arguments, QString* error);
    static QString usage();

    explicit DictationRunner(Options options, QObject* parent = nullptr);
    ~DictationRunner() override;

    // Runs the dictation to its end; the exit code of the program.
    QCoro::Task<int> run();

private:
    QCoro::Task<bool> signIn();

    Options options;
    AppState* state = nullptr;
    CollectingKeyboardSink* collected = nullptr;
};
