#include "TypingTarget.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <xcb/xcb.h>

#include <cstdlib>

namespace {

// The window holding the X keyboard focus (0 when it cannot be read).
quint64 focusWindow() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    quint64 window = 0;
    if (!xcb_connection_has_error(connection)) {
        if (auto* reply = xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr)) {
            window = reply->focus;
            std::free(reply);
        }
    }
    xcb_disconnect(connection);
    return window;
}

QString readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

QString TypingTarget::programPath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/voxlet_typing_target");
}

TypingTarget::TypingTarget() = default;

TypingTarget::~TypingTarget() {
    if (process) {
        process->kill();
        process->waitForFinished(5000);
    }
}

bool TypingTarget::start(const Options& options) {
    process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments{folder.filePath(QStringLiteral("received.txt")), options.title};
    if (!options.answersPings)
        arguments.append(QStringLiteral("--no-ping"));
    process->start(programPath(), arguments);
    if (!process->waitForStarted(5000)) {
        failure = QStringLiteral("cannot start %1: %2").arg(programPath(), process->errorString());
        return false;
    }
    // The window manager may keep a new window from taking the focus while another window is
    // closing; then the window is activated the way a pager would.
    QDeadlineTimer deadline(30'000);
    QDeadlineTimer nextNudge(300);
    QByteArray output;
    while (!deadline.hasExpired()) {
        if (process->waitForReadyRead(50))
            output += process->readAllStandardOutput();
        const int at = output.indexOf("ready 0x");
        const int end = output.indexOf('\n', at);
        // Active for Qt is not yet enough: the keys go where the X focus is.
        if (at >= 0 && end > at &&
            focusWindow() == output.mid(at + 8, end - at - 8).toULongLong(nullptr, 16)) {
            window = output.mid(at + 8, end - at - 8).toULongLong(nullptr, 16);
            return true;
        }
        const int shown = output.indexOf("shown 0x");
        const int shownEnd = output.indexOf('\n', shown);
        if (shown >= 0 && shownEnd > shown && nextNudge.hasExpired()) {
            const QString id = QString::fromLatin1(output.mid(shown + 6, shownEnd - shown - 6));
            QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), id});
            nextNudge.setRemainingTime(1000);
        }
        if (process->state() != QProcess::Running)
            break;
    }
    failure =
        QStringLiteral("the target window did not become active (output: %1)").arg(QString::fromUtf8(output));
    return false;
}

QString TypingTarget::received() const {
    return readAll(folder.filePath(QStringLiteral("received.txt")));
}

QString TypingTarget::modifiedPresses() const {
    return readAll(folder.filePath(QStringLiteral("received.txt.modified")));
}

QString TypingTarget::waitFor(const QString& expected, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    QString text = received();
    while (text != expected && !deadline.hasExpired()) {
        QThread::msleep(5);
        text = received();
    }
    return text;
}
