#include "support/ScriptedRealtimeProxy.h"

#include "dictation/AppLog.h"
#include "platform/fake/ManualScheduler.h"
#include "platform/fake/RecordingSystemLog.h"
#include "realtime/ElevenLabsRealtimeService.h"
#include "realtime/RealtimeAudioResampler.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <memory>
#include <thread>

using Answer = ScriptedRealtimeProxy::Answer;

Q_DECLARE_METATYPE(ScriptedRealtimeProxy::Answer)

namespace {

const QString none = QStringLiteral("<none>");

// A chunk of 16-bit samples that all carry `tag`, so the server can tell chunks apart.
QByteArray taggedChunk(int tag, int samples = 16) {
    QByteArray chunk(samples * 2, Qt::Uninitialized);
    for (int i = 0; i < samples; ++i)
        qToLittleEndian<qint16>(qint16(tag), chunk.data() + 2 * i);
    return chunk;
}

int tagOf(const QByteArray& pcm) {
    return pcm.size() >= 2 ? qFromLittleEndian<qint16>(pcm.constData()) : -1;
}

// Audio tags in order, and "commit" where the commit message came.
QStringList wireSequence(const ScriptedRealtimeProxy::Connection& connection) {
    QStringList sequence;
    for (const auto& message : connection.messages)
        sequence.append(message.commit ? QStringLiteral("commit") : QString::number(tagOf(message.audio)));
    return sequence;
}

QList<int> samplesOf(const QByteArray& pcm) {
    QList<int> samples;
    for (qsizetype i = 0; i + 1 < pcm.size(); i += 2)
        samples.append(qFromLittleEndian<qint16>(pcm.constData() + i));
    return samples;
}

} // namespace

// One client against one scripted proxy, with every callback and log line recorded.
struct Session {
    ManualScheduler scheduler;
    ScriptedRealtimeProxy proxy;
    std::shared_ptr<RecordingSystemLog> log = std::make_shared<RecordingSystemLog>();
    ElevenLabsRealtimeService service{scheduler};
    QStringList events;
    QStringList tokens{QStringLiteral("tok-1"), QStringLiteral("tok-2"), QStringLiteral("tok-3")};
    int tokenCalls = 0;

    Session() {
        setAppSystemLog(log);
        if (!proxy.listen())
            qFatal("cannot listen on 127.0.0.1");
        service.proxyBaseURL = proxy.baseURL();
        service.accessTokenProvider = [this]() -> QCoro::Task<std::optional<QString>> {
            const QString token = tokens.value(tokenCalls++, none);
            co_return token == none ? std::nullopt : std::optional<QString>(token);
        };
        service.onTranscriptionDelta = [this](const QString& text) {
            events << QStringLiteral("delta:") + text;
        };
        service.onTranscriptionCompleted = [this](const QString& text) {
            events << QStringLiteral("completed:") + text;
        };
        service.onConnectionStateChanged = [this](bool on) {
            events << QStringLiteral("connected:") + (on ? QStringLiteral("true") : QStringLiteral("false"));
        };
        service.onVADSpeechEnded = [this] { events << QStringLiteral("vad"); };
        service.onFinalCommitCompleted = [this] { events << QStringLiteral("final"); };
        service.onFinalCommitSent = [this] { events << QStringLiteral("commitSent"); };
        service.onConnectionFailed = [this](const QString& message) {
            events << QStringLiteral("failed:") + message;
        };
    }
    ~Session() { setAppSystemLog(nullptr); }

    QStringList lines() const { return log->infos(); }
    bool logged(const QString& line) const {
        return lines().contains(QStringLiteral("ElevenLabsRT: ") + line);
    }
    bool loggedStartingWith(const QString& start) const {
        for (const QString& line : lines())
            if (line.startsWith(QStringLiteral("ElevenLabsRT: ") + start))
                return true;
        return false;
    }
    int countLogged(const QString& line) const {
        return int(lines().count(QStringLiteral("ElevenLabsRT: ") + line));
    }
};

class RealtimeServiceTest : public QObject {
    Q_OBJECT

    QTemporaryDir stateHome;

    // Connects and waits until the proxy has the socket; with `start`, also until the session started.
    static bool open(Session& s, double rate, bool start) {
        s.service.connect(rate);
        if (!QTest::qWaitFor([&] { return s.proxy.connections().size() == 1 && s.service.isConnected(); }))
            return false;
        if (!start)
            return true;
        s.proxy.sendSessionStarted(0);
        return QTest::qWaitFor([&] { return s.service.isSessionStarted(); });
    }

    // Sends `messages` (a "bin:" prefix sends the rest as a binary frame, "badutf8" an invalid one), then
    // waits until the client has handled them and run what they posted.
    static bool play(Session& s, int connection, const QStringList& messages) {
        for (const QString& message : messages) {
            if (message == QLatin1String("badutf8"))
                s.proxy.sendBinary(connection,
                                   QByteArray("{\"message_type\":\"partial_transcript\",\"text\":\"\xff\"}"));
            else if (message.startsWith(QLatin1String("bin:")))
                s.proxy.sendBinary(connection, message.mid(4).toUtf8());
            else
                s.proxy.send(connection, message);
        }
        const int sentinels = s.countLogged(QStringLiteral("Received event sentinel")) + 1;
        s.proxy.send(connection, RealtimeProtocol::encodeServerMessage(QStringLiteral("sentinel")));
        const bool done = QTest::qWaitFor(
            [&] { return s.countLogged(QStringLiteral("Received event sentinel")) == sentinels; });
        QCoreApplication::sendPostedEvents();
        return done;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(stateHome.isValid());
        qputenv("XDG_STATE_HOME", stateHome.path().toUtf8());
        setAppLogToStandardOutput(false);
    }

    void queuedAudioGoesOutBeforeLaterAudioAndTheWaitingCommit() {
        Session s;
        QVERIFY(open(s, 16000, false));
        for (int tag = 0; tag < 5; ++tag)
            s.service.sendAudio(taggedChunk(tag));
        s.service.commitAudioBuffer();
        QVERIFY(s.logged(QStringLiteral("Queueing commit until session_started")));
        QVERIFY(s.service.awaitingFinalCommit() && s.service.pendingFinalCommit());
        QTRY_VERIFY(s.events.contains(QStringLiteral("vad")));

        s.scheduler.advance(std::chrono::milliseconds(250));
        s.proxy.sendSessionStarted(0);
        QTRY_VERIFY(s.service.isSessionStarted());
        s.service.sendAudio(taggedChunk(5));
        s.service.sendAudio(taggedChunk(6));

        auto& wire = s.proxy.connection(0);
        QTRY_COMPARE(wire.messages.size(), 8);
        QCOMPARE(wireSequence(wire), QStringList({"0", "1", "2", "3", "4", "commit", "5", "6"}));
        for (const auto& message : std::as_const(wire.messages))
            QCOMPARE(message.sampleRate, std::optional<double>(16000));
        QVERIFY(wire.refusedMessages.isEmpty());
        QVERIFY(!s.service.pendingFinalCommit());
        QVERIFY(s.service.awaitingFinalCommit());
        QTRY_COMPARE(s.events, QStringList({"vad", "connected:true", "commitSent"}));

        // The token travels in the query and in both headers.
        QCOMPARE(wire.url.path(), QStringLiteral("/api/ai/realtime"));
        QCOMPARE(wire.url.query(), QStringLiteral("no_verbatim=true&access_token=tok-1"));
        QCOMPARE(wire.headers.value("authorization"), QByteArray("Bearer tok-1"));
        QCOMPARE(wire.headers.value("x-voxlet-authorization"), QByteArray("Bearer tok-1"));

        const auto counters = s.service.audioCounters();
        QCOMPARE(counters.receivedAudioChunkCount, 7);
        QCOMPARE(counters.queuedAudioChunkCount, 5);
        QCOMPARE(counters.sentAudioChunkCount, 7);
        QCOMPARE(counters.queuedAudioBytes, 160);
        QCOMPARE(counters.sentAudioBytes, 224);

        const QStringList expected = {
            "Connecting with sourceSampleRate=16000",
            "WebSocket opened",
            "WebSocket opened after 0.00s",
            "Queued audio chunks=1, bytes=32, sessionStarted=false, connected=true",
            "Queueing commit until session_started",
            "Session started with config {\"sample_rate\":16000}",
            "Session started after 0.25s",
            "Flushing 5 queued audio chunks, bytes=160",
            "Sent audio chunks=1, bytes=32",
            "Final commit sent, reason=session_started",
            "Sending manual commit chunk after receivedChunks=5, sentChunks=5, queuedChunks=5, "
            "sentBytes=160, "
            "queuedBytes=160",
        };
        QStringList got;
        for (const QString& line : s.lines())
            got << line.mid(QStringLiteral("ElevenLabsRT: ").size());
        QCOMPARE(got, expected);
    }

    // Chunks handed over for sending but not yet sent are still older than a commit or close that follows.
    void handedOverAudioPrecedesTheCommitAndTheClose() {
        Session s;
        QVERIFY(open(s, 16000, true));
        s.service.sendAudio(taggedChunk(1));
        s.service.sendAudio(taggedChunk(2));
        s.service.commitAudioBuffer();
        s.service.sendAudio(taggedChunk(3));
        s.service.disconnect();
        QTRY_VERIFY(s.proxy.connection(0).disconnected);
        QCOMPARE(wireSequence(s.proxy.connection(0)), QStringList({"1", "2", "commit", "3"}));
        QCOMPARE(s.proxy.connection(0).closeCode, 1000);
        QVERIFY(s.logged(QStringLiteral("Final commit sent, reason=commitAudioBuffer")));
    }

    void commitBeforeTheSocketOpensWaitsForTheSession() {
        Session s;
        s.proxy.answers = {Answer::Silent};
        s.service.connect(16000);
        s.service.sendAudio(taggedChunk(1));
        s.service.commitAudioBuffer();
        QVERIFY(s.logged(QStringLiteral("Queueing commit until socket opens")));
        QTRY_COMPARE(s.events, QStringList({"vad"})); // posted at once, with no socket open
        QTRY_COMPARE(s.proxy.attemptCount(), 1);

        // The unanswered upgrade ends after 30 s; the reconnection carries the queue and the commit.
        s.scheduler.advance(std::chrono::milliseconds(29999));
        QVERIFY(!s.loggedStartingWith(QStringLiteral("Connection error")));
        s.scheduler.advance(std::chrono::milliseconds(1));
        QVERIFY(s.logged(QStringLiteral("Connection error: The request timed out.")));
        QTRY_COMPARE(s.proxy.connections().size(), 1);
        QTRY_VERIFY(s.service.isConnected());
        QVERIFY(s.service.pendingFinalCommit());
        s.proxy.sendSessionStarted(0);
        QTRY_COMPARE(wireSequence(s.proxy.connection(0)), QStringList({"1", "commit"}));
        QVERIFY(s.logged(QStringLiteral("Final commit sent, reason=session_started")));
        QCOMPARE(s.proxy.connection(0).url.query(), QStringLiteral("no_verbatim=true&access_token=tok-2"));
    }

    void sessionMessages_data() {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<bool>("commit");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QStringList>("expectedEvents");
        QTest::addColumn<QStringList>("expectedLines"); // a leading "!" means no line starts so
        QTest::addColumn<bool>("awaitingAfter");
        QTest::addColumn<QString>("transcript");

        const QString hello = R"({"message_type":"committed_transcript","text":"Hello world."})";
        const QString how = R"({"message_type":"committed_transcript","text":"How are you?"})";

        QTest::newRow("partial, then committed without a commit")
            << QStringList{R"({"message_type":"partial_transcript","text":"Hel"})", hello} << false
            << QStringList{}
            << QStringList{"delta:Hel", "delta:Hello world.", "completed:Hello world.", "final"}
            << QStringList{"Partial transcript chars=3",
                           "Committed transcript chars=12, appendedChars=12, afterCommit=n/a"}
            << false << "Hello world.";
        QTest::newRow("two committed while the final commit is awaited")
            << QStringList{} << true << QStringList{hello, how}
            << QStringList{"commitSent",
                           "vad",
                           "delta:Hello world.",
                           "completed:Hello world.",
                           "final",
                           "delta: How are you?",
                           "completed:Hello world. How are you?",
                           "final"}
            << QStringList{"Committed transcript chars=12, appendedChars=12, afterCommit=1.50s",
                           "Committed transcript chars=12, appendedChars=13, afterCommit=1.50s"}
            << false << "Hello world. How are you?";
        QTest::newRow("duplicate committed still completes")
            << QStringList{hello} << true << QStringList{hello}
            << QStringList{"delta:Hello world.",
                           "completed:Hello world.",
                           "final",
                           "commitSent",
                           "vad",
                           "completed:Hello world.",
                           "final"}
            << QStringList{"Ignoring duplicate committed transcript",
                           "Committed transcript chars=12, appendedChars=0, afterCommit=1.50s"}
            << false << "Hello world.";
        QTest::newRow("blank committed changes nothing")
            << QStringList{} << true
            << QStringList{R"({"message_type":"committed_transcript","text":"  \n "})"}
            << QStringList{"commitSent", "vad"} << QStringList{"!Committed transcript"} << true << "";
        QTest::newRow("committed without text is dropped")
            << QStringList{} << true << QStringList{R"({"message_type":"committed_transcript","text":null})"}
            << QStringList{"commitSent", "vad"} << QStringList{"!Committed transcript"} << true << "";
        QTest::newRow("with timestamps, by type")
            << QStringList{R"({"type":"committed_transcript_with_timestamps","text":"Hi there","words":[1]})"}
            << false << QStringList{} << QStringList{"delta:Hi there", "completed:Hi there", "final"}
            << QStringList{"Committed transcript chars=8, appendedChars=8, afterCommit=n/a"} << false
            << "Hi there";
        QTest::newRow("error while awaiting, text available")
            << QStringList{hello} << true
            << QStringList{R"({"message_type":"insufficient_audio_activity","error":"no speech"})"}
            << QStringList{"delta:Hello world.",
                           "completed:Hello world.",
                           "final",
                           "commitSent",
                           "vad",
                           "final"}
            << QStringList{"Received insufficient_audio_activity: no speech",
                           "Completing final commit after insufficient_audio_activity because transcript is "
                           "already "
                           "available"}
            << false << "Hello world.";
        QTest::newRow("error while awaiting, no text")
            << QStringList{} << true << QStringList{R"({"message_type":"insufficient_audio_activity"})"}
            << QStringList{"commitSent", "vad"}
            << QStringList{"Received insufficient_audio_activity: Unknown realtime error",
                           "Ignoring insufficient_audio_activity while awaiting final commit because "
                           "transcript is "
                           "empty"}
            << true << "";
        QTest::newRow("vendor error, nothing awaited")
            << QStringList{hello, R"({"message_type":"acme_error","error":"boom"})"} << false << QStringList{}
            << QStringList{"delta:Hello world.", "completed:Hello world.", "final"}
            << QStringList{"Received acme_error: boom", "!Completing final commit"} << false
            << "Hello world.";
        QTest::newRow("input_audio_buffer")
            << QStringList{R"({"message_type":"input_audio_buffer"})"} << true
            << QStringList{R"({"message_type":"input_audio_buffer"})"} << QStringList{"commitSent", "vad"}
            << QStringList{"Received event input_audio_buffer",
                           "Received input_audio_buffer while awaiting final transcript"}
            << true << "";
        QTest::newRow("undecodable text, then receiving goes on")
            << QStringList{"not json", "[1,2]", R"({"type":"partial_transcript","text":"ok"})", R"({"x":1})"}
            << false << QStringList{} << QStringList{"delta:ok"}
            << QStringList{"Failed to decode message: not json", "Failed to decode message: [1,2]",
                           "Received event "}
            << false << "";
        QTest::newRow("binary frames")
            << QStringList{"badutf8",
                           QString("bin:") + R"({"message_type":"partial_transcript","text":"café"})"}
            << false << QStringList{} << QStringList{"delta:café"}
            << QStringList{"Partial transcript chars=4"} << false << "";
    }

    void sessionMessages() {
        QFETCH(QStringList, before);
        QFETCH(bool, commit);
        QFETCH(QStringList, after);
        QFETCH(QStringList, expectedEvents);
        QFETCH(QStringList, expectedLines);
        QFETCH(bool, awaitingAfter);
        QFETCH(QString, transcript);

        Session s;
        QVERIFY(open(s, 16000, true));
        QTRY_COMPARE(s.events, QStringList({"connected:true"}));
        s.events.clear();

        QVERIFY(play(s, 0, before));
        if (commit) {
            s.service.commitAudioBuffer();
            QTRY_VERIFY(s.proxy.connection(0).receivedCommit());
            QVERIFY(s.logged(QStringLiteral("Final commit sent, reason=commitAudioBuffer")));
            s.scheduler.advance(std::chrono::milliseconds(1500));
            QVERIFY(play(s, 0, after));
        }
        QCOMPARE(s.events, expectedEvents);
        for (const QString& line : expectedLines) {
            if (line.startsWith(u'!'))
                QVERIFY2(!s.loggedStartingWith(line.mid(1)), qPrintable(line));
            else
                QVERIFY2(s.logged(line), qPrintable(line + QStringLiteral("\n") + s.lines().join(u'\n')));
        }
        QCOMPARE(s.service.awaitingFinalCommit(), awaitingAfter);
        QCOMPARE(s.service.accumulatedTranscript(), transcript);
        QVERIFY(s.service.isConnected()); // no proxy message closes the connection
        QVERIFY(!s.events.join(u' ').contains(QStringLiteral("failed:")));
    }

    void resampling_data() {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<int>>("expected");

        auto ramp = [](int count) {
            QByteArray pcm(count * 2, Qt::Uninitialized);
            for (int i = 0; i < count; ++i)
                qToLittleEndian<qint16>(qint16(i), pcm.data() + 2 * i);
            return pcm;
        };
        QTest::newRow("16 kHz unchanged") << 16000.0 << ramp(5) << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("48 kHz keeps every third") << 48000.0 << ramp(10) << QList<int>{0, 3, 6, 9};
        QTest::newRow("44.1 kHz") << 44100.0 << ramp(14) << QList<int>{0, 2, 5, 8, 11, 13};
        QTest::newRow("8 kHz repeats") << 8000.0 << ramp(3) << QList<int>{0, 0, 1, 1, 2, 2};
        QTest::newRow("one byte gives nothing") << 48000.0 << QByteArray(1, 'x') << QList<int>{};
        QTest::newRow("odd byte dropped") << 48000.0 << ramp(4) + QByteArray(1, 'x') << QList<int>{0, 3};
        QTest::newRow("no usable rate passes through") << 0.0 << ramp(3) << QList<int>{0, 1, 2};
    }

    void resampling() {
        QFETCH(double, rate);
        QFETCH(QByteArray, input);
        QFETCH(QList<int>, expected);
        QCOMPARE(samplesOf(RealtimeAudioResampler::resample(input, rate)), expected);
    }

    void captureRatesOnTheWire_data() {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QList<int>>("firstSamples");
        QTest::newRow("16 kHz") << 16000.0 << 4096 << QList<int>{0, 1, 2, 3, 4, 5};
        QTest::newRow("48 kHz") << 48000.0 << 1366 << QList<int>{0, 3, 6, 9, 12, 15};
        QTest::newRow("44.1 kHz") << 44100.0 << 1487 << QList<int>{0, 2, 5, 8, 11, 13};
    }

    void captureRatesOnTheWire() {
        QFETCH(double, rate);
        QFETCH(int, samples);
        QFETCH(QList<int>, firstSamples);

        Session s;
        QVERIFY(open(s, rate, true));
        QByteArray chunk(8192, Qt::Uninitialized); // 4096 frames, samples numbered from 0
        for (int i = 0; i < 4096; ++i)
            qToLittleEndian<qint16>(qint16(i), chunk.data() + 2 * i);
        s.service.sendAudio(chunk);
        QTRY_COMPARE(s.proxy.connection(0).messages.size(), 1);
        const QList<int> wire = samplesOf(s.proxy.connection(0).messages.at(0).audio);
        QCOMPARE(wire.size(), samples);
        QCOMPARE(wire.mid(0, firstSamples.size()), firstSamples);
        QVERIFY(s.logged(QStringLiteral("Connecting with sourceSampleRate=%1").arg(qRound(rate))));
        QCOMPARE(s.service.audioCounters().sentAudioBytes, samples * 2);
    }

    void connectReplacesAnOpenSession() {
        Session s;
        QVERIFY(open(s, 16000, false));
        for (int tag = 0; tag < 3; ++tag)
            s.service.sendAudio(taggedChunk(tag));
        QVERIFY(play(s, 0, {R"({"message_type":"committed_transcript","text":"Old words"})"}));
        QCOMPARE(s.service.accumulatedTranscript(), QStringLiteral("Old words"));
        s.service.commitAudioBuffer();
        QTRY_VERIFY(s.events.contains(QStringLiteral("vad")));
        s.events.clear();

        s.service.connect(48000);
        QCOMPARE(s.service.accumulatedTranscript(), QString());
        QCOMPARE(s.service.pendingAudioChunkCount(), 0);
        QCOMPARE(s.service.audioCounters().receivedAudioChunkCount, 0);
        QVERIFY(!s.service.awaitingFinalCommit() && !s.service.pendingFinalCommit());
        QCOMPARE(s.service.sourceSampleRate(), 48000.0);

        // The old socket is closed normally, and its late close does not touch the new session.
        QTRY_VERIFY(s.proxy.connection(0).disconnected);
        QCOMPARE(s.proxy.connection(0).closeCode, 1000);
        QVERIFY(!s.proxy.connection(0).brokeOff);
        QTRY_COMPARE(s.proxy.connections().size(), 2);
        QTRY_VERIFY(s.service.isConnected());
        s.proxy.sendSessionStarted(1);
        QTRY_VERIFY(s.service.isSessionStarted());
        s.service.sendAudio(taggedChunk(9, 48));
        QTRY_COMPARE(wireSequence(s.proxy.connection(1)), QStringList({"9"}));
        QCOMPARE(s.proxy.connection(0).audioMessageCount(), 0);
        QCOMPARE(s.events, QStringList({"connected:true"}));
        QCOMPARE(s.proxy.attemptCount(), 2);
        QVERIFY(!s.loggedStartingWith(QStringLiteral("WebSocket closed")));
        QVERIFY(!s.loggedStartingWith(QStringLiteral("Retrying")));
    }

    void disconnectEndsTheSession() {
        Session s;
        QVERIFY(open(s, 16000, true));
        s.service.sendAudio(taggedChunk(1));
        QVERIFY(play(s, 0, {R"({"message_type":"committed_transcript","text":"Bye now"})"}));
        s.events.clear();
        s.service.disconnect();

        QCOMPARE(s.service.accumulatedTranscript(), QString());
        QVERIFY(!s.service.isConnected() && !s.service.isSessionStarted());
        QVERIFY(s.logged(QStringLiteral("Disconnected with receivedChunks=1, sentChunks=1, queuedChunks=0, "
                                        "sentBytes=32, queuedBytes=0")));
        QTRY_VERIFY(s.proxy.connection(0).disconnected);
        QCOMPARE(s.proxy.connection(0).closeCode, 1000);
        QCOMPARE(wireSequence(s.proxy.connection(0)), QStringList({"1"}));

        // Audio after the end is queued, never sent, and the session is not reopened.
        s.service.sendAudio(taggedChunk(2));
        QCOMPARE(s.service.pendingAudioChunkCount(), 1);
        QTest::qWait(50);
        QCOMPARE(s.proxy.attemptCount(), 1);
        QCOMPARE(s.events, QStringList());
    }

    void serverCloseIsNotAFailure() {
        Session s;
        QVERIFY(open(s, 16000, true));
        s.events.clear();
        s.proxy.close(0, 4001, QStringLiteral("bye"));
        QTRY_VERIFY(s.logged(QStringLiteral("WebSocket closed with code 4001")));
        QVERIFY(!s.service.isConnected() && !s.service.isSessionStarted());
        QCOMPARE(s.events, QStringList({"connected:false"}));
        s.service.commitAudioBuffer();
        QVERIFY(s.logged(QStringLiteral("Queueing commit until socket opens")));
        QTest::qWait(50);
        QCOMPARE(s.proxy.attemptCount(), 1);
        QVERIFY(!s.loggedStartingWith(QStringLiteral("Retrying")));
    }

    void reconnectsOnceWithAFreshToken_data() {
        QTest::addColumn<Answer>("firstAnswer");
        QTest::addColumn<bool>("startFirst");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("expectedWire");

        QTest::newRow("upgrade refused with 401")
            << Answer::Refuse401 << false << "401" << QStringList{"0", "1", "2", "commit"};
        QTest::newRow("upgrade never answered")
            << Answer::Silent << false << "The request timed out." << QStringList{"0", "1", "2", "commit"};
        QTest::newRow("dropped before the session started")
            << Answer::Accept << false << "remote host closed" << QStringList{"0", "1", "2", "commit"};
        QTest::newRow("dropped during the session")
            << Answer::Accept << true << "remote host closed" << QStringList{"2", "commit"};
    }

    void reconnectsOnceWithAFreshToken() {
        QFETCH(Answer, firstAnswer);
        QFETCH(bool, startFirst);
        QFETCH(QString, error);
        QFETCH(QStringList, expectedWire);

        Session s;
        s.proxy.answers = {firstAnswer};
        s.service.connect(16000);
        QTRY_VERIFY(s.proxy.attemptCount() >= 1);
        if (firstAnswer == Answer::Accept) {
            QTRY_VERIFY(s.service.isConnected());
            if (startFirst) {
                s.proxy.sendSessionStarted(0);
                QTRY_VERIFY(s.service.isSessionStarted());
            }
        }
        s.service.sendAudio(taggedChunk(0));
        s.service.sendAudio(taggedChunk(1));
        if (startFirst) {
            QTRY_COMPARE(s.proxy.connection(0).audioMessageCount(), 2);
            QVERIFY(play(s, 0, {R"({"message_type":"committed_transcript","text":"Kept words"})"}));
        }

        switch (firstAnswer) {
        case Answer::Accept:
            s.proxy.abort(0);
            break;
        case Answer::Silent:
            s.scheduler.advance(std::chrono::seconds(30));
            break;
        case Answer::Refuse401:
            break;
        }
        QTRY_VERIFY(s.logged(QStringLiteral("Retrying connection after transient failure")));
        QVERIFY(s.loggedStartingWith(QStringLiteral("Connection error: ")));
        QVERIFY2(s.lines().join(u'\n').contains(error, Qt::CaseInsensitive),
                 qPrintable(s.lines().join(u'\n')));
        QVERIFY(s.service.hasRetriedConnection());
        QVERIFY(!s.service.isSessionStarted());
        s.service.sendAudio(taggedChunk(2));
        s.service.commitAudioBuffer();

        const int reconnected = firstAnswer == Answer::Accept ? 1 : 0;
        QTRY_COMPARE(s.proxy.connections().size(), reconnected + 1);
        auto& wire = s.proxy.connection(reconnected);
        QCOMPARE(wire.url.query(), QStringLiteral("no_verbatim=true&access_token=tok-2"));
        QCOMPARE(wire.headers.value("authorization"), QByteArray("Bearer tok-2"));
        QTRY_VERIFY(s.service.isConnected());
        s.proxy.sendSessionStarted(reconnected);
        QTRY_COMPARE(wireSequence(wire), expectedWire);
        QCOMPARE(s.service.accumulatedTranscript(), startFirst ? QStringLiteral("Kept words") : QString());
        QCOMPARE(s.service.audioCounters().receivedAudioChunkCount, 3);
        QCOMPARE(s.events.count(QStringLiteral("connected:false")), 1);
        QVERIFY(!s.events.join(u' ').contains(QStringLiteral("failed:")));
        QCOMPARE(s.tokenCalls, 2);
    }

    void secondTransportFailureIsReported_data() {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<QString>("error");
        QTest::newRow("refused twice") << Answer::Refuse401 << "401";
        QTest::newRow("never answered twice") << Answer::Silent << "The request timed out.";
        QTest::newRow("dropped twice") << Answer::Accept << "remote host closed";
    }

    void secondTransportFailureIsReported() {
        QFETCH(Answer, answer);
        QFETCH(QString, error);

        Session s;
        s.proxy.answers = {answer, answer, Answer::Accept};
        s.service.connect(16000);
        for (int attempt = 1; attempt <= 2 && answer != Answer::Refuse401; ++attempt) {
            QTRY_COMPARE(s.proxy.attemptCount(), attempt);
            if (answer == Answer::Accept) {
                QTRY_VERIFY(s.service.isConnected());
                s.proxy.abort(attempt - 1);
            } else if (answer == Answer::Silent) {
                s.scheduler.advance(std::chrono::seconds(30));
            }
        }
        QTRY_VERIFY(s.events.join(u' ').contains(QStringLiteral("failed:")));
        const QString failure = s.events.last();
        QVERIFY2(failure.startsWith(QStringLiteral("failed:Connection failed: ")), qPrintable(failure));
        QVERIFY2(failure.contains(error, Qt::CaseInsensitive), qPrintable(failure));
        QCOMPARE(s.events.count(QStringLiteral("connected:false")), 2);
        QCOMPARE(s.countLogged(QStringLiteral("Retrying connection after transient failure")), 1);

        // Nothing more is tried in this session, and audio keeps being queued.
        s.scheduler.advance(std::chrono::seconds(60));
        QTest::qWait(50);
        QCOMPARE(s.proxy.attemptCount(), 2);
        s.service.sendAudio(taggedChunk(1));
        QCOMPARE(s.service.pendingAudioChunkCount(), 1);

        // The next connect starts afresh, with its own reconnection.
        s.service.connect(16000);
        QTRY_COMPARE(s.proxy.attemptCount(), 3);
        QVERIFY(!s.service.hasRetriedConnection());
    }

    void missingTokenOrURL_data() {
        QTest::addColumn<bool>("hasProvider");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("base"); // "<proxy>" for the proxy's base URL
        QTest::addColumn<QString>("missing");

        const QString proxy = QStringLiteral("<proxy>");
        QTest::newRow("no provider") << false << "tok" << proxy << "Missing access token for realtime proxy";
        QTest::newRow("no token") << true << none << proxy << "Missing access token for realtime proxy";
        QTest::newRow("empty token") << true << "" << proxy << "Missing access token for realtime proxy";
        QTest::newRow("no base URL") << true << "tok" << none << "Missing backend realtime URL";
        QTest::newRow("unusable base URL") << true << "tok"
                                           << "http://[::1"
                                           << "Missing backend realtime URL";
    }

    void missingTokenOrURL() {
        QFETCH(bool, hasProvider);
        QFETCH(QString, token);
        QFETCH(QString, base);
        QFETCH(QString, missing);

        Session s;
        s.tokens = {token};
        if (!hasProvider)
            s.service.accessTokenProvider = nullptr;
        if (base == none)
            s.service.proxyBaseURL.reset();
        else if (base != QLatin1String("<proxy>"))
            s.service.proxyBaseURL = QUrl(base);

        s.service.connect(16000);
        QTRY_COMPARE(s.events, QStringList({"connected:false", "failed:Authentication expired or missing"}));
        QVERIFY(s.logged(missing));
        QVERIFY(s.logged(QStringLiteral("Cannot connect — missing token or URL")));
        QTest::qWait(20);
        QCOMPARE(s.proxy.attemptCount(), 0);
        QVERIFY(!s.service.hasRetriedConnection());
    }

    void reconnectionWithoutAToken() {
        Session s;
        s.tokens = {QStringLiteral("tok-1"), none};
        s.proxy.answers = {Answer::Refuse401};
        s.service.connect(16000);
        QTRY_COMPARE(s.events, QStringList({"connected:false", "connected:false",
                                            "failed:Authentication expired or missing"}));
        QCOMPARE(s.countLogged(QStringLiteral("Missing access token for realtime proxy")), 1);
        QVERIFY(!s.loggedStartingWith(QStringLiteral("Cannot connect")));
        QCOMPARE(s.proxy.attemptCount(), 1);
    }

    void cancelledTokenFetchOpensNothing_data() {
        QTest::addColumn<bool>("connectAgain");
        QTest::newRow("connect again") << true;
        QTest::newRow("disconnect") << false;
    }

    void cancelledTokenFetchOpensNothing() {
        QFETCH(bool, connectAgain);

        Session s;
        // A provider that takes a while, as one renewing the session would.
        s.service.accessTokenProvider = [&s]() -> QCoro::Task<std::optional<QString>> {
            const QString token = s.tokens.value(s.tokenCalls++);
            co_await s.scheduler.sleep(std::chrono::milliseconds(100));
            co_return token;
        };
        s.service.connect(16000);
        if (connectAgain)
            s.service.connect(16000);
        else
            s.service.disconnect();
        s.scheduler.advance(std::chrono::milliseconds(100));

        if (connectAgain) {
            QTRY_COMPARE(s.proxy.connections().size(), 1);
            QCOMPARE(s.proxy.connection(0).url.query(),
                     QStringLiteral("no_verbatim=true&access_token=tok-2"));
            QTRY_VERIFY(s.service.isConnected());
        }
        QTest::qWait(50);
        QCOMPARE(s.proxy.attemptCount(), connectAgain ? 1 : 0);
        QCOMPARE(s.events, QStringList());
    }

    // An owner that reacts to the drop by starting over gets one new connection, not that plus a retry.
    void connectFromTheStateCallbackAfterAFailure() {
        Session s;
        s.proxy.answers = {Answer::Refuse401};
        bool startedOver = false;
        s.service.onConnectionStateChanged = [&](bool on) {
            if (!on && !startedOver) {
                startedOver = true;
                s.service.connect(16000);
            }
        };
        s.service.connect(16000);
        QTRY_VERIFY(startedOver);
        QTRY_COMPARE(s.proxy.connections().size(), 1);
        QTest::qWait(50);
        QCOMPARE(s.proxy.attemptCount(), 2);
        QVERIFY(!s.loggedStartingWith(QStringLiteral("Retrying")));
        QVERIFY(s.service.isConnected());
    }

    // A capture thread pushes chunks while the session is being set up and re-established; every chunk
    // must arrive once and in order.
    void captureThreadStress_data() {
        QTest::addColumn<bool>("startBeforeDrop");
        QTest::newRow("reconnection before the session starts") << false;
        QTest::newRow("reconnection during the session") << true;
    }

    void captureThreadStress() {
        QFETCH(bool, startBeforeDrop);
        constexpr int total = 6000;

        Session s;
        s.service.connect(16000);
        QTRY_VERIFY(s.service.isConnected());
        if (startBeforeDrop) {
            s.proxy.sendSessionStarted(0);
            QTRY_VERIFY(s.service.isSessionStarted());
        }

        std::atomic<int> pushed{0};
        // Halfway the capture thread waits for the second connection, so that it cannot finish before the
        // client has even noticed the broken one (and the last half is sure to need the new connection).
        std::atomic<bool> reconnected{false};
        std::thread capture([&] {
            for (int tag = 0; tag < total; ++tag) {
                while (tag == total / 2 && !reconnected.load())
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                s.service.sendAudio(taggedChunk(tag, 8));
                pushed.store(tag + 1, std::memory_order_release);
                if (tag % 64 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        // A failed check returns early: the thread is released and joined before the session goes.
        struct Joiner {
            std::thread& thread;
            std::atomic<bool>& release;
            ~Joiner() {
                release = true;
                if (thread.joinable())
                    thread.join();
            }
        } joiner{capture, reconnected};
        auto waitPushed = [&](int count) { return QTest::qWaitFor([&] { return pushed.load() >= count; }); };

        QVERIFY(waitPushed(total / 5));
        if (startBeforeDrop)
            QTRY_VERIFY(s.proxy.connection(0).messages.size() >= 100);
        s.proxy.abort(0);
        const bool secondOpened =
            QTest::qWaitFor([&] { return s.proxy.connections().size() == 2 && s.service.isConnected(); });
        reconnected = true;
        QVERIFY(secondOpened);
        QVERIFY(waitPushed(total / 2 + total / 10));
        s.proxy.sendSessionStarted(1);
        QVERIFY(QTest::qWaitFor([&] { return pushed.load() == total; }, 60000));
        capture.join();
        s.service.commitAudioBuffer();
        QTRY_VERIFY_WITH_TIMEOUT(s.proxy.connection(1).receivedCommit(), 30000);

        const auto& first = s.proxy.connection(0).messages;
        const auto& second = s.proxy.connection(1).messages;
        QVERIFY(second.last().commit);
        QCOMPARE(s.proxy.connection(1).audioMessageCount(), second.size() - 1);
        QVERIFY(s.proxy.connection(1).refusedMessages.isEmpty());
        if (!startBeforeDrop) {
            // Nothing was sent before the session started: the second connection has every chunk.
            QCOMPARE(first.size(), 0);
            QCOMPARE(second.size(), total + 1);
            for (int i = 0; i < total; ++i)
                QCOMPARE(tagOf(second.at(i).audio), i);
        } else {
            // Chunks in flight when the connection broke are lost with it; the rest arrive once, in order,
            // and the second connection carries everything from its first chunk to the last.
            QVERIFY(first.size() > 0);
            for (int i = 0; i < first.size(); ++i)
                QCOMPARE(tagOf(first.at(i).audio), i);
            const int resumeAt = tagOf(second.at(0).audio);
            QVERIFY2(resumeAt >= first.size(),
                     qPrintable(QStringLiteral("first=%1 resumeAt=%2 second=%3 lines=%4")
                                    .arg(first.size())
                                    .arg(resumeAt)
                                    .arg(second.size())
                                    .arg(s.lines().filter("ElevenLabsRT: D").join(" | "))));
            for (int i = 0; i + 1 < second.size(); ++i)
                QCOMPARE(tagOf(second.at(i).audio), resumeAt + i);
            QCOMPARE(resumeAt + second.size() - 1, total);
        }
        const auto counters = s.service.audioCounters();
        QCOMPARE(counters.receivedAudioChunkCount, total);
        QCOMPARE(counters.sentAudioChunkCount, total);
        QCOMPARE(s.service.pendingAudioChunkCount(), 0);
    }
};

QTEST_GUILESS_MAIN(RealtimeServiceTest)
#include "tst_realtime_service.moc"
