#include "platform/journal/JournalSystemLog.h"

#include <systemd/sd-journal.h>

namespace {

void send(const QString& message, int priority) {
    const QByteArray text = message.toUtf8();
    sd_journal_send("MESSAGE=%s", text.constData(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=voxlet",
                    "VOXLET_SUBSYSTEM=com.voxlet.Voxlet", "VOXLET_CATEGORY=App", nullptr);
}

} // namespace

void JournalSystemLog::info(const QString& message) {
    send(message, 6);
}

void JournalSystemLog::error(const QString& message) {
    send(message, 3);
}
