#include "app/runner/DictationRunner.h"

#include "app/runner/CollectingKeyboardSink.h"
#include "app/runner/HeadlessWorkspace.h"
#include "audio/WavDecoder.h"
#include "dictation/AppLog.h"
#include "dictation/AppState.h"
#include "platform/fake/InMemorySecretStore.h"
#include "platform/file/WavFileCaptureDevice.h"
#include "platform/secret/SecretServiceStore.h"
#include "platform/x11/X11Workspace.h"
#include "platform/x11/XTestKeyboardSink.h"

#include <QCommandLineParser>
#include <QCoroSignal>
#include <QFile>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>

namespace {

void printLine(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

std::optional<DictationMode> modeNamed(const QString& name) {
    if (name == QLatin1String("flash"))
        return DictationMode::flash;
    if (name == QLatin1String("pro"))
        return DictationMode::pro;
    if (name == QLatin1String("translate"))
        return DictationMode::flashTranslate;
    return std::nullopt;
}

} // namespace

QString DictationRunner::usage() {
    return QStringLiteral(
        "usage: voxlet-dictate [--mode flash|pro|translate] [--style STYLE] [--language CODE]\n"
        "                      [--token-file FILE] [--info FILE] [--fast] [--type] [--verbose]\n"
        "                      [--timeout SECONDS] FILE.wav\n"
        "Runs one dictation of FILE.wav through Voxlet and prints the text it would type.\n"
        "  --mode       flash (default), pro or translate\n"
        "  --style      output style of pro: clean, email, subject, list, message, prompt, formal, summary\n"
        "  --language   target language code of translate (default: the stored choice)\n"
        "  --token-file sign in with the access token in FILE, without touching the keyring\n"
        "               (default: the session stored in the keyring)\n"
        "  --info       read the service addresses from this Info.json instead of the program's own\n"
        "  --fast       feed the recording as fast as it is taken instead of in real time\n"
        "  --type       type the text into the focused X11 window instead of printing it\n"
        "  --verbose    print the log lines too\n");
}

std::optional<DictationRunner::Options> DictationRunner::parse(const QStringList& arguments, QString* error) {
    QCommandLineParser parser;
    const QCommandLineOption mode(QStringLiteral("mode"), QString(), QStringLiteral("mode"),
                                  QStringLiteral("flash"));
    const QCommandLineOption style(QStringLiteral("style"), QString(), QStringLiteral("style"));
    const QCommandLineOption language(QStringLiteral("language"), QString(), QStringLiteral("code"));
    const QCommandLineOption tokenFile(QStringLiteral("token-file"), QString(), QStringLiteral("file"));
    const QCommandLineOption info(QStringLiteral("info"), QString(), QStringLiteral("file"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("seconds"));
    const QCommandLineOption fast(QStringLiteral("fast"));
    const QCommandLineOption type(QStringLiteral("type"));
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    parser.addOptions({mode, style, language, tokenFile, info, timeout, fast, type, verbose});
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (parser.positionalArguments().size() != 1) {
        *error = QStringLiteral("name one WAV file");
        return std::nullopt;
    }

    Options options;
    options.wavPath = parser.positionalArguments().first();
    const auto chosenMode = modeNamed(parser.value(mode));
    if (!chosenMode) {
        *error = QStringLiteral("unknown mode \"%1\"").arg(parser.value(mode));
        return std::nullopt;
    }
    options.mode = *chosenMode;
    if (parser.isSet(style)) {
        options.style = AIFormatPresets::fromRawValue(parser.value(style));
        if (!options.style) {
            *error = QStringLiteral("unknown style \"%1\"").arg(parser.value(style));
            return std::nullopt;
        }
    }
    if (parser.isSet(language))
        options.language = parser.value(language);
    if (parser.isSet(tokenFile))
        options.tokenFile = parser.value(tokenFile);
    if (parser.isSet(info))
        options.infoFile = parser.value(info);
    if (parser.isSet(timeout)) {
        bool ok = false;
        options.timeoutSeconds = parser.value(timeout).toInt(&ok);
        if (!ok || options.timeoutSeconds <= 0) {
            *error = QStringLiteral("--timeout takes a whole number of seconds");
            return std::nullopt;
        }
    }
    options.realTime = !parser.isSet(fast);
    options.typeWithKeyboard = parser.isSet(type);
    options.verbose = parser.isSet(verbose);
    return options;
}

DictationRunner::DictationRunner(Options chosen, QObject* parent)
    : QObject(parent)
    , options(std::move(chosen)) {}

DictationRunner::~DictationRunner() = default;

QCoro::Task<bool> DictationRunner::signIn() {
    AuthManager& auth = state->authManager();
    if (options.tokenFile) {
        QFile file(*options.tokenFile);
        if (!file.open(QIODevice::ReadOnly)) {
            printLine(stderr, QStringLiteral("voxlet-dictate: cannot read %1: %2")
                                  .arg(*options.tokenFile, file.errorString()));
            co_return false;
        }
        co_await auth.signInWithToken(QString::fromUtf8(file.readAll()).trimmed());
        // The user arrives through the session-change stream, a moment after the call.
        if (!auth.isAuthenticated() && !auth.authError())
            co_await qCoro(&auth, &AuthManager::currentUserChanged, std::chrono::seconds(5));
    } else if (auth.isLoading()) {
        // The stored session is being restored from the keyring.
        co_await qCoro(&auth, &AuthManager::isLoadingChanged, std::chrono::seconds(15));
    }
    co_return auth.isAuthenticated();
}

QCoro::Task<int> DictationRunner::run() {
    setAppLogToStandardOutput(options.verbose);

    QFile input(options.wavPath);
    if (!input.open(QIODevice::ReadOnly)) {
        printLine(
            stderr,
            QStringLiteral("voxlet-dictate: cannot read %1: %2").arg(options.wavPath, input.errorString()));
        co_return inputError;
    }
    const WavDecodeResult decoded = WavDecoder::decode(input.readAll());
    if (!decoded.audio) {
        printLine(stderr, QStringLiteral("voxlet-dictate: %1: %2").arg(options.wavPath, decoded.error));
        co_return inputError;
    }
    std::vector<float> samples;
    samples.reserve(decoded.audio->samples.size());
    for (const std::int16_t sample : decoded.audio->samples)
        samples.push_back(float(sample) / 32768.0f);

    auto device = std::make_unique<WavFileCaptureDevice>(
        std::move(samples), double(WavDecoder::targetSampleRate), options.realTime);
    WavFileCaptureDevice* microphone = device.get();

    // The user's own choices stay as they are: this run keeps its settings in a folder of its own.
    QTemporaryDir settingsFolder;
    AppState::Environment environment;
    environment.captureDevice = std::move(device);
    environment.userDefaults = std::make_shared<QSettings>(
        settingsFolder.filePath(QStringLiteral("Voxlet.conf")), QSettings::IniFormat);
    if (options.typeWithKeyboard) {
        environment.keyboardSink = std::make_shared<XTestKeyboardSink>();
        environment.workspace = std::make_shared<X11Workspace>();
    } else {
        auto sink = std::make_shared<CollectingKeyboardSink>();
        collected = sink.get();
        environment.keyboardSink = sink;
        environment.workspace = std::make_shared<HeadlessWorkspace>();
    }
    if (options.tokenFile)
        environment.auth.secretStore = std::make_shared<InMemorySecretStore>();
    else
        environment.auth.secretStore = std::make_shared<SecretServiceStore>();
    if (options.infoFile)
        environment.configuration = AppConfiguration::load(*options.infoFile);

    state = new AppState(std::move(environment), this);
    QPointer<AppState> guard(state);

    const bool signedIn = co_await signIn();
    if (!signedIn) {
        const auto reason = state->authManager().authError();
        printLine(stderr, QStringLiteral("voxlet-dictate: not signed in%1")
                              .arg(reason ? QStringLiteral(": ") + *reason : QString()));
        co_return refused;
    }

    state->setDictationMode(options.mode);
    if (options.style)
        state->setAIFormatPreset(*options.style);
    if (options.language)
        state->setTargetLanguage(*options.language);

    // The end of the file is the release of the shortcut.
    microphone->onFinished = [guard] {
        QMetaObject::invokeMethod(
            guard,
            [guard] {
                if (guard)
                    guard->stopDictation();
            },
            Qt::QueuedConnection);
    };
    if (!state->startDictation()) {
        const auto reason = state->authManager().authError();
        printLine(stderr, QStringLiteral("voxlet-dictate: the dictation did not start%1")
                              .arg(reason ? QStringLiteral(": ") + *reason : QString()));
        co_return refused;
    }
    microphone->beginDelivery();

    const auto finished =
        co_await qCoro(state, &AppState::dictationFinished, std::chrono::seconds(options.timeoutSeconds));
    if (!finished) {
        printLine(stderr, QStringLiteral("voxlet-dictate: no text after %1 s").arg(options.timeoutSeconds));
        co_return timedOut;
    }
    if (collected)
        printLine(stdout, collected->typed);
    co_return std::get<1>(*finished) ? typed : nothingTyped;
}
