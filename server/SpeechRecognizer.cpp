#include "SpeechRecognizer.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <mutex>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

namespace {

void silenceLibraryLog() {
    // The library prints hundreds of lines per decoder to stderr; our own log says what matters.
    static std::once_flag once;
    std::call_once(once, [] { err_set_logfp(nullptr); });
}

} // namespace

QString RecognizerModel::defaultModelDirectory() {
    return QStringLiteral("/usr/share/pocketsphinx/model/en-us");
}

std::unique_ptr<SpeechRecognizer> SpeechRecognizer::create(const RecognizerModel& model, QString* error) {
    silenceLibraryLog();
    const QDir dir(model.modelDirectory.isEmpty() ? RecognizerModel::defaultModelDirectory()
                                                  : model.modelDirectory);
    const QString hmm = dir.filePath(QStringLiteral("en-us"));
    const QString dict = dir.filePath(QStringLiteral("cmudict-en-us.dict"));
    const QString lm = dir.filePath(QStringLiteral("en-us.lm.bin"));
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return std::unique_ptr<SpeechRecognizer>();
    };
    if (!QFileInfo(hmm).isDir() || !QFileInfo(dict).isFile())
        return fail(QStringLiteral("speech model not found in ") + dir.path());
    if (!model.grammarPath.isEmpty() && !QFileInfo(model.grammarPath).isFile())
        return fail(QStringLiteral("grammar file not found: ") + model.grammarPath);
    if (model.grammarPath.isEmpty() && !QFileInfo(lm).isFile())
        return fail(QStringLiteral("language model not found: ") + lm);

    const QByteArray hmmArg = QFile::encodeName(hmm);
    const QByteArray dictArg = QFile::encodeName(dict);
    const QByteArray searchKey = model.grammarPath.isEmpty() ? "-lm" : "-jsgf";
    const QByteArray searchArg = QFile::encodeName(model.grammarPath.isEmpty() ? lm : model.grammarPath);
    // A grammar search is cheap, so it can afford wide beams; with the default ones it loses the only
    // path through the grammar on some utterances and returns nothing at all.
    const bool grammar = !model.grammarPath.isEmpty();
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmmArg.constData(), "-dict",
                                   dictArg.constData(), searchKey.constData(), searchArg.constData(), "-beam",
                                   grammar ? "1e-80" : "1e-48", "-pbeam", grammar ? "1e-80" : "1e-48",
                                   "-wbeam", grammar ? "1e-60" : "7e-29", "-logfn", "/dev/null", nullptr);
    if (!config)
        return fail(QStringLiteral("speech recogniser configuration rejected"));
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config);
    if (!decoder)
        return fail(model.grammarPath.isEmpty()
                        ? QStringLiteral("speech recogniser could not load its model")
                        : QStringLiteral("speech recogniser could not load the grammar ") +
                              model.grammarPath);
    return std::unique_ptr<SpeechRecognizer>(new SpeechRecognizer(decoder));
}

SpeechRecognizer::SpeechRecognizer(ps_decoder_s* decoder)
    : m_decoder(decoder) {}

SpeechRecognizer::~SpeechRecognizer() {
    if (m_inUtterance)
        ps_end_utt(m_decoder);
    ps_free(m_decoder);
}

QString SpeechRecognizer::recognize(std::span<const std::int16_t> samples) {
    if (m_inUtterance)
        endUtterance();
    if (ps_start_utt(m_decoder) < 0)
        return {};
    ps_process_raw(m_decoder, samples.data(), samples.size(), FALSE, TRUE);
    ps_end_utt(m_decoder);
    return cleanHypothesis(ps_get_hyp(m_decoder, nullptr));
}

bool SpeechRecognizer::startUtterance() {
    if (m_inUtterance)
        return true;
    m_inUtterance = ps_start_utt(m_decoder) >= 0;
    return m_inUtterance;
}

bool SpeechRecognizer::process(std::span<const std::int16_t> samples) {
    if (!m_inUtterance && !startUtterance())
        return false;
    if (samples.empty())
        return true;
    return ps_process_raw(m_decoder, samples.data(), samples.size(), FALSE, FALSE) >= 0;
}

bool SpeechRecognizer::inSpeech() const {
    return m_inUtterance && ps_get_in_speech(m_decoder) != 0;
}

QString SpeechRecognizer::hypothesis() const {
    if (!m_inUtterance)
        return {};
    return cleanHypothesis(ps_get_hyp(m_decoder, nullptr));
}

QString SpeechRecognizer::endUtterance() {
    if (!m_inUtterance)
        return {};
    m_inUtterance = false;
    ps_end_utt(m_decoder);
    return cleanHypothesis(ps_get_hyp(m_decoder, nullptr));
}

QString SpeechRecognizer::cleanHypothesis(const char* raw) {
    if (!raw)
        return {};
    static const QRegularExpression alternative(QStringLiteral("\\(\\d+\\)$"));
    QStringList words;
    const QStringList tokens = QString::fromUtf8(raw).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (QString token : tokens) {
        if (token.startsWith(QLatin1Char('<')) || token.startsWith(QLatin1Char('[')) ||
            token.startsWith(QLatin1Char('+')))
            continue;
        token.remove(alternative);
        if (!token.isEmpty())
            words.append(token);
    }
    return words.join(QLatin1Char(' '));
}
