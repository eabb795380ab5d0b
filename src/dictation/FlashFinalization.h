#pragma once

#include "dictation/DictationContext.h"

#include <QObject>
#include <QString>

#include <qcorotask.h>

class AppState;
class ElevenLabsRealtimeService;

// The end of a Flash or Translate dictation: sends the final commit, waits for the final transcript
// (or its time-outs), translates it in Translate, types it and ends the session. One object per
// dictation; it deletes itself when done and gives its realtime session back.
class FlashFinalization : public QObject {
    Q_OBJECT

public:
    FlashFinalization(AppState& state, ElevenLabsRealtimeService& realtime, DictationContext context);
    ~FlashFinalization() override;

    static double finalTranscriptWaitSeconds(double audioSeconds);
    static double safetyTimeoutSeconds(double audioSeconds);

    void start();

private:
    void finish(const QString& reason);
    void executeFlashModeTyping();
    QCoro::Task<> typeAndEnd(QString text);
    QCoro::Task<> translateAndType(QString text);
    void done(bool typed);

    AppState& state;
    ElevenLabsRealtimeService& realtime;
    const DictationContext context;
    bool finished = false;
    bool waitScheduled = false;
};
