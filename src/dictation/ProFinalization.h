#pragma once

#include "dictation/DictationContext.h"
#include "platform/Scheduler.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <qcorotask.h>

#include <optional>

class AppState;

// The end of a Pro dictation: the backend AI turns the recording into text in the chosen style,
// with batch transcription plus text formatting when that yields nothing; the target application is
// brought forward and the text typed. Every step is traced under one identifier. One object per
// dictation; it deletes itself when done.
class ProFinalization : public QObject {
    Q_OBJECT

public:
    ProFinalization(AppState& state, DictationContext context);

    void start();
    const QString& traceId() const { return trace; }

private:
    QCoro::Task<> run();
    QCoro::Task<bool> batchRoute();
    QCoro::Task<bool> typingTail(QString text);
    void traceLine(const QString& event);
    qint64 totalMs() const;
    void done(bool typed);

    AppState& state;
    const DictationContext context;
    QString trace;
    Scheduler::TimePoint totalStart;
    QByteArray recording;
};
