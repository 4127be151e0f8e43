#include "platform/SystemLog.h"

#include <cstdio>

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace {

// Where sd_journal_sendv sends its lines; fixed by systemd.
constexpr const char *kJournalSocket = "/run/systemd/journal/socket";

SystemLogSink &installedSink()
{
    static SystemLogSink sink;
    return sink;
}

} // namespace

bool sendToJournal(const SystemLogEntry &entry)
{
    // sd_journal_sendv treats a missing socket as success and drops the
    // line, so that case is told apart first; past that, the send's own
    // result decides (a socket nobody listens on refuses it).
    if (::access(kJournalSocket, F_OK) != 0)
        return false;
    const QByteArray message = QByteArrayLiteral("MESSAGE=") + entry.message.toUtf8();
    const QByteArray subsystem = QByteArrayLiteral("SUBSYSTEM=") + entry.subsystem.toUtf8();
    const QByteArray category = QByteArrayLiteral("CATEGORY=") + entry.category.toUtf8();
    const QByteArray priority = QByteArrayLiteral("PRIORITY=") + QByteArray::number(LOG_NOTICE);
    static const QByteArray identifier = QByteArrayLiteral("SYSLOG_IDENTIFIER=Ferrowhistle");
    // sd_journal_sendv takes the fields as given; no printf-style formatting
    // ever sees the message.
    iovec fields[] = {
        {const_cast<char *>(message.constData()), static_cast<size_t>(message.size())},
        {const_cast<char *>(priority.constData()), static_cast<size_t>(priority.size())},
        {const_cast<char *>(identifier.constData()), static_cast<size_t>(identifier.size())},
        {const_cast<char *>(subsystem.constData()), static_cast<size_t>(subsystem.size())},
        {const_cast<char *>(category.constData()), static_cast<size_t>(category.size())},
    };
    return sd_journal_sendv(fields, static_cast<int>(std::size(fields))) >= 0;
}

void systemLog(const SystemLogEntry &entry)
{
    if (const SystemLogSink &sink = installedSink()) {
        sink(entry);
        return;
    }
    // No journal here (a container, WSL, a desktop without systemd, a
    // journald that has stopped): the line goes to stderr with its
    // identifier rather than nowhere.
    if (!sendToJournal(entry)) {
        const QByteArray line = QByteArrayLiteral("Ferrowhistle: ") + entry.message.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    }
}

SystemLogSink setSystemLogSink(SystemLogSink sink)
{
    SystemLogSink previous = std::move(installedSink());
    installedSink() = std::move(sink);
    return previous;
}
