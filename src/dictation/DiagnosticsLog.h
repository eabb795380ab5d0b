#pragma once

#include <QDateTime>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Writer of the diagnostics file "Voxlet.log" (and its one rotated predecessor "Voxlet.previous.log").
// Lines are appended by one worker thread in call order; callers never touch the disk.
class DiagnosticsLog {
public:
    static constexpr qint64 rotationSize = 2'000'000;
    static inline const QString currentFileName = QStringLiteral("Voxlet.log");
    static inline const QString previousFileName = QStringLiteral("Voxlet.previous.log");

    // folderProvider is asked on the caller's thread at every write, so the location can follow the
    // environment (XDG_STATE_HOME); the shared instance uses defaultFolder.
    explicit DiagnosticsLog(std::function<QString()> folderProvider);
    ~DiagnosticsLog(); // drains what is queued, then stops the worker

    DiagnosticsLog(const DiagnosticsLog&) = delete;
    DiagnosticsLog& operator=(const DiagnosticsLog&) = delete;

    static DiagnosticsLog& shared();
    // $XDG_STATE_HOME/Voxlet, or ~/.local/state/Voxlet.
    static QString defaultFolder();

    void write(const QString& message);
    void write(const QString& message, const QDateTime& timestamp);
    // Blocks until every line queued before the call has been handled.
    void flush();

    static QString formatLine(const QString& message, const QDateTime& timestamp);

private:
    struct Entry {
        QString folder;
        QByteArray line;
    };

    void run();
    static void append(const Entry& entry);

    std::function<QString()> folderProvider;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Entry> pending;
    bool busy = false;
    bool stopping = false;
    std::thread worker;
};
