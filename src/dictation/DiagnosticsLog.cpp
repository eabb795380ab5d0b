#include "dictation/DiagnosticsLog.h"

#include "dictation/AppLog.h"
#include "platform/SystemLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

DiagnosticsLog::DiagnosticsLog(std::function<QString()> provider)
    : folderProvider(std::move(provider))
    , worker([this] { run(); }) {}

DiagnosticsLog::~DiagnosticsLog() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    worker.join();
}

DiagnosticsLog& DiagnosticsLog::shared() {
    // Destroyed at exit after the lines still queued are written: the last lines before a quit
    // (an update, a crash report) are the ones a user most needs.
    static DiagnosticsLog instance(&DiagnosticsLog::defaultFolder);
    return instance;
}

QString DiagnosticsLog::defaultFolder() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/Voxlet");
}

QString DiagnosticsLog::formatLine(const QString& message, const QDateTime& timestamp) {
    return timestamp.toUTC().toString(Qt::ISODateWithMs) + QLatin1Char(' ') + message + QLatin1Char('\n');
}

void DiagnosticsLog::write(const QString& message) {
    write(message, QDateTime::currentDateTimeUtc());
}

void DiagnosticsLog::write(const QString& message, const QDateTime& timestamp) {
    Entry entry{folderProvider(), formatLine(message, timestamp).toUtf8()};
    {
        std::lock_guard lock(mutex);
        pending.push_back(std::move(entry));
    }
    wake.notify_one();
}

void DiagnosticsLog::flush() {
    std::unique_lock lock(mutex);
    idle.wait(lock, [this] { return pending.empty() && !busy; });
}

void DiagnosticsLog::run() {
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !pending.empty(); });
        if (pending.empty()) {
            if (stopping)
                return;
            continue;
        }
        Entry entry = std::move(pending.front());
        pending.pop_front();
        busy = true;
        lock.unlock();
        append(entry);
        lock.lock();
        busy = false;
        if (pending.empty())
            idle.notify_all();
    }
}

namespace {

void reportFailure(const QString& description) {
    // Only the system log hears of it: writing it to the file would fail the same way, and standard
    // output is for the program's own messages.
    if (auto log = appSystemLog())
        log->error(QStringLiteral("DiagnosticsLog write failed: ") + description);
}

} // namespace

void DiagnosticsLog::append(const Entry& entry) {
    QDir folder(entry.folder);
    if (!folder.mkpath(QStringLiteral("."))) {
        reportFailure(QStringLiteral("could not create the folder %1").arg(entry.folder));
        return;
    }
    const QString currentPath = folder.filePath(currentFileName);
    const QString previousPath = folder.filePath(previousFileName);

    const QFileInfo info(currentPath);
    if (info.exists() && info.size() > rotationSize) {
        QFile::remove(previousPath);
        QFile::rename(currentPath, previousPath);
    }

    if (QFileInfo::exists(currentPath)) {
        QFile file(currentPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            reportFailure(file.errorString());
            return;
        }
        if (file.write(entry.line) != entry.line.size()) {
            reportFailure(file.errorString());
            return;
        }
        if (!file.flush())
            reportFailure(file.errorString());
        return;
    }

    QSaveFile file(currentPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(entry.line) != entry.line.size() || !file.commit())
        reportFailure(file.errorString());
}
