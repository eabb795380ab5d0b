// The pieces of voxlet-backend that need no network: WAV decoding, resampling, tokens, settings,
// style detection and the recogniser's word clean-up.
#include "BackendConfig.h"
#include "JsonWebToken.h"
#include "RuleBasedFormatter.h"
#include "SpeechRecognizer.h"
#include "audio/WavDecoder.h"

#include <QDataStream>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <numbers>

namespace {

// A WAV file of a 440 Hz sine, `seconds` long, in the given layout.
QByteArray sineWav(quint16 format, quint16 channels, quint32 rate, quint16 bits, double seconds) {
    QByteArray data;
    QDataStream pcm(&data, QIODevice::WriteOnly);
    pcm.setByteOrder(QDataStream::LittleEndian);
    pcm.setFloatingPointPrecision(bits == 64 ? QDataStream::DoublePrecision : QDataStream::SinglePrecision);
    const int frames = int(seconds * rate);
    for (int i = 0; i < frames; ++i) {
        const double v = 0.5 * std::sin(2 * std::numbers::pi * 440.0 * i / rate);
        for (int c = 0; c < channels; ++c) {
            if (format == 3 && bits == 32)
                pcm << float(v);
            else if (format == 3)
                pcm << double(v);
            else if (bits == 8)
                pcm << quint8(std::lround(v * 127 + 128));
            else if (bits == 16)
                pcm << qint16(std::lround(v * 32767));
            else if (bits == 24) {
                const qint32 s = qint32(std::lround(v * 8388607));
                pcm << quint8(s & 0xff) << quint8((s >> 8) & 0xff) << quint8((s >> 16) & 0xff);
            } else
                pcm << qint32(std::lround(v * 2147483647.0));
        }
    }
    QByteArray h;
    QDataStream out(&h, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + data.size());
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << format << channels << rate << quint32(rate * channels * bits / 8)
        << quint16(channels * bits / 8) << bits;
    out.writeRawData("LIST", 4); // a chunk readers must skip
    out << quint32(3);
    out.writeRawData("abc\0", 4);
    out.writeRawData("data", 4);
    out << quint32(data.size());
    return h + data;
}

// Amplitude of 440 Hz in 16 kHz samples (a single-bin DFT), and of everything else.
std::pair<double, double> toneAndRest(const std::vector<std::int16_t>& s) {
    double re = 0, im = 0, energy = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const double v = s[i] / 32768.0;
        re += v * std::cos(2 * std::numbers::pi * 440.0 * double(i) / 16000.0);
        im += v * std::sin(2 * std::numbers::pi * 440.0 * double(i) / 16000.0);
        energy += v * v;
    }
    const double n = double(s.size());
    const double amplitude = 2 * std::sqrt(re * re + im * im) / n;
    const double rest = std::max(0.0, energy / n - amplitude * amplitude / 2);
    return {amplitude, std::sqrt(rest)};
}

} // namespace

class ServerUnitsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wavLayoutsBecome16kMono_data() {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::newRow("16 kHz 16-bit mono") << 1 << 1 << 16000 << 16;
        QTest::newRow("44.1 kHz 16-bit stereo") << 1 << 2 << 44100 << 16;
        QTest::newRow("48 kHz 24-bit mono") << 1 << 1 << 48000 << 24;
        QTest::newRow("22.05 kHz 8-bit mono") << 1 << 1 << 22050 << 8;
        QTest::newRow("8 kHz 32-bit mono") << 1 << 1 << 8000 << 32;
        QTest::newRow("48 kHz float stereo") << 3 << 2 << 48000 << 32;
        QTest::newRow("96 kHz double mono") << 3 << 1 << 96000 << 64;
    }
    void wavLayoutsBecome16kMono() {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        const WavDecodeResult r = WavDecoder::decode(
            sineWav(quint16(format), quint16(channels), quint32(rate), quint16(bits), 0.5));
        QVERIFY2(r.audio, qPrintable(r.error));
        QCOMPARE(r.audio->sourceSampleRate, rate);
        QCOMPARE(r.audio->sourceChannels, channels);
        QVERIFY(std::abs(qint64(r.audio->samples.size()) - 8000) <= 1);
        const auto [tone, rest] = toneAndRest(r.audio->samples);
        QVERIFY2(std::abs(tone - 0.5) < 0.02, qPrintable(QString::number(tone)));
        QVERIFY2(rest < (bits == 8 ? 0.01 : 0.003), qPrintable(QString::number(rest)));
    }

    void downsamplingRemovesWhatCannotBeRepresented() {
        // 11 kHz is above the 8 kHz limit of 16 kHz audio: it must not fold back as a 5 kHz tone.
        std::vector<float> in(48000);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = float(0.5 * std::sin(2 * std::numbers::pi * 11000.0 * double(i) / 48000.0));
        const std::vector<std::int16_t> out = WavDecoder::resample(std::span<const float>(in), 48000, 16000);
        double energy = 0;
        for (size_t i = 100; i + 100 < out.size(); ++i)
            energy += (out[i] / 32768.0) * (out[i] / 32768.0);
        const double rms = std::sqrt(energy / double(out.size() - 200));
        QVERIFY2(rms < 0.01, qPrintable(QString::number(rms)));
    }

    void malformedWavIsRefused_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = sineWav(1, 1, 16000, 16, 0.01);
        QByteArray noData = good.left(good.indexOf("data"));
        QByteArray hugeChunk = good;
        hugeChunk.replace(hugeChunk.indexOf("LIST") + 4, 4, QByteArray("\xff\xff\xff\x7f", 4));
        QByteArray badAlign = good;
        badAlign[32] = 7;
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("RIFF only") << QByteArray("RIFF");
        QTest::newRow("not WAVE") << QByteArray("RIFF\0\0\0\0AVI LIST", 16);
        QTest::newRow("no data chunk") << noData;
        QTest::newRow("chunk size past the end") << hugeChunk;
        QTest::newRow("inconsistent block align") << badAlign;
        QTest::newRow("12-bit") << sineWav(1, 1, 16000, 16, 0.01).replace(34, 2, QByteArray("\x0c\x00", 2));
        QTest::newRow("nine channels")
            << sineWav(1, 1, 16000, 16, 0.01).replace(22, 2, QByteArray("\x09\x00", 2));
    }
    void malformedWavIsRefused() {
        QFETCH(QByteArray, bytes);
        const WavDecodeResult r = WavDecoder::decode(bytes);
        QVERIFY(!r.audio);
        QVERIFY(!r.error.isEmpty());
    }

    void streamedWavWithoutSizesIsRead() {
        QByteArray wav = sineWav(1, 1, 16000, 16, 0.25);
        wav.replace(wav.indexOf("data") + 4, 4, QByteArray("\xff\xff\xff\xff", 4));
        const WavDecodeResult r = WavDecoder::decode(wav);
        QVERIFY2(r.audio, qPrintable(r.error));
        QCOMPARE(qint64(r.audio->samples.size()), 4000);
    }

    void tokensAreSignedAndChecked_data() {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<bool>("valid");
        const QByteArray secret = "secret-for-tests";
        const QJsonObject claims{{QStringLiteral("sub"), QStringLiteral("u1")},
                                 {QStringLiteral("exp"), 2000}};
        const QByteArray good = JsonWebToken::sign(claims, secret);
        const QList<QByteArray> parts = good.split('.');
        QJsonObject later = claims;
        later.insert(QStringLiteral("exp"), 999999);
        const QByteArray forgedPayload =
            QJsonDocument(later)
                .toJson(QJsonDocument::Compact)
                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        const QByteArray none = QByteArray(R"({"alg":"none","typ":"JWT"})")
                                    .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        QTest::newRow("good") << good << true;
        QTest::newRow("expired") << JsonWebToken::sign(QJsonObject{{QStringLiteral("exp"), 1000}}, secret)
                                 << false;
        QTest::newRow("no expiry") << JsonWebToken::sign(
                                          QJsonObject{{QStringLiteral("sub"), QStringLiteral("u1")}}, secret)
                                   << false;
        QTest::newRow("other secret") << JsonWebToken::sign(claims, "other") << false;
        QTest::newRow("payload changed") << parts[0] + '.' + forgedPayload + '.' + parts[2] << false;
        QTest::newRow("alg none") << none + '.' + parts[1] + '.' << false;
        QTest::newRow("two pieces") << parts[0] + '.' + parts[1] << false;
        QTest::newRow("not Base64") << QByteArray("!!.??.**") << false;
    }
    void tokensAreSignedAndChecked() {
        QFETCH(QByteArray, token);
        QFETCH(bool, valid);
        const JsonWebToken::Verification v = JsonWebToken::verify(token, "secret-for-tests", 1500);
        QCOMPARE(bool(v.claims), valid);
        QCOMPARE(v.error.isEmpty(), valid);
    }

    void settingsFromTheCommandLineAndAFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("backend.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "{\"port\": 9000, \"grammar\": \"/g.jsgf\", \"release_build\": 7, \"release_notes\": \"Fixes\", "
            "\"chat_endpoint\": \"http:/"
            "/127.0.0.1:1/v1\"}");
        file.close();
        QString error;
        const auto c = BackendConfig::fromArguments(
            {QStringLiteral("voxlet-backend"), QStringLiteral("--config"), path, QStringLiteral("--port"),
             QStringLiteral("9100"), QStringLiteral("--data-dir"), dir.path(),
             QStringLiteral("--max-body-bytes"), QStringLiteral("1000")},
            &error);
        QVERIFY2(c, qPrintable(error));
        QCOMPARE(c->port, quint16(9100)); // the command line wins
        QCOMPARE(c->grammarPath, QStringLiteral("/g.jsgf"));
        QCOMPARE(c->releaseBuild, 7);
        QVERIFY(c->hasReleaseNotes);
        QCOMPARE(c->chatEndpoint, QUrl(QStringLiteral("http://127.0.0.1:1/v1")));
        QCOMPARE(c->http.maxBodyBytes, 1000);
        QCOMPARE(c->address, QHostAddress(QHostAddress::LocalHost));
        QVERIFY(c->releaseDownloadUrl.startsWith(QStringLiteral("http://127.0.0.1:9100/")));
    }

    void defaultDataFolderFollowsXdg() {
        qputenv("XDG_DATA_HOME", "/xdg/data");
        QCOMPARE(BackendConfig::defaultDataDirectory(), QStringLiteral("/xdg/data/voxlet-backend"));
        qputenv("XDG_DATA_HOME", "relative");
        QCOMPARE(BackendConfig::defaultDataDirectory(),
                 QDir::homePath() + QStringLiteral("/.local/share/voxlet-backend"));
        qunsetenv("XDG_DATA_HOME");
    }

    void invalidSettingsAreRefused_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--colour"), QStringLiteral("red")};
        QTest::newRow("port too big") << QStringList{QStringLiteral("--port"), QStringLiteral("70000")};
        QTest::newRow("port not a number") << QStringList{QStringLiteral("--port"), QStringLiteral("http")};
        QTest::newRow("address") << QStringList{QStringLiteral("--address"),
                                                QStringLiteral("localhost.example")};
        QTest::newRow("chat endpoint scheme")
            << QStringList{QStringLiteral("--chat-endpoint"), QStringLiteral("ftp://x/v1")};
        QTest::newRow("zero lifetime") << QStringList{QStringLiteral("--otp-lifetime"), QStringLiteral("0")};
        QTest::newRow("missing config file")
            << QStringList{QStringLiteral("--config"), QStringLiteral("/nonexistent/x.json")};
        QTest::newRow("stray argument") << QStringList{QStringLiteral("serve")};
    }
    void invalidSettingsAreRefused() {
        QFETCH(QStringList, arguments);
        arguments.prepend(QStringLiteral("voxlet-backend"));
        QString error;
        QVERIFY(!BackendConfig::fromArguments(arguments, &error));
        QVERIFY(!error.isEmpty());
    }

    void everyStyleIsRecognisedByItsInstruction() {
        for (AIFormatPreset p : AIFormatPresets::allCases) {
            QCOMPARE(RuleBasedFormatter::presetForPrompt(AIFormatPresets::prompt(p)),
                     std::optional<AIFormatPreset>(p));
            QCOMPARE(RuleBasedFormatter::presetForPrompt(QStringLiteral("\n ") + AIFormatPresets::prompt(p) +
                                                         QStringLiteral(" ")),
                     std::optional<AIFormatPreset>(p));
            QVERIFY(
                !RuleBasedFormatter::format(QStringLiteral("hello there. this is the plan"), p).isEmpty());
        }
        QCOMPARE(RuleBasedFormatter::presetForPrompt(QStringLiteral("Write a poem")), std::nullopt);
    }

    void recogniserMarkersAreRemoved_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("clean");
        QTest::newRow("plain") << QByteArray("hello world") << "hello world";
        QTest::newRow("markers") << QByteArray("<s> hello <sil> [noise] world </s>") << "hello world";
        QTest::newRow("alternative pronunciation") << QByteArray("read(2) the  book") << "read the book";
        QTest::newRow("filler") << QByteArray("+um+ yes") << "yes";
        QTest::newRow("nothing") << QByteArray("") << "";
    }
    void recogniserMarkersAreRemoved() {
        QFETCH(QByteArray, raw);
        QFETCH(QString, clean);
        QCOMPARE(SpeechRecognizer::cleanHypothesis(raw.constData()), clean);
        QCOMPARE(SpeechRecognizer::cleanHypothesis(nullptr), QString());
    }

    void missingModelOrGrammarIsReported() {
        QString error;
        QVERIFY(!SpeechRecognizer::create(RecognizerModel{QStringLiteral("/nonexistent"), {}}, &error));
        QVERIFY(error.contains(QStringLiteral("/nonexistent")));
        QTemporaryDir dir;
        const QString grammar = dir.filePath(QStringLiteral("broken.jsgf"));
        QFile file(grammar);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("this is not a grammar");
        file.close();
        error.clear();
        QVERIFY(!SpeechRecognizer::create(RecognizerModel{{}, grammar}, &error));
        QVERIFY(error.contains(QStringLiteral("grammar")));
    }
};

QTEST_GUILESS_MAIN(ServerUnitsTest)
#include "test_server_units.moc"
