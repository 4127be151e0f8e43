#include "platform/SystemLog.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

namespace {

SystemLogSink &installedSink()
{
    static SystemLogSink sink;
    return sink;
}

void writeToJournal(const SystemLogEntry &entry)
{
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
    sd_journal_sendv(fields, static_cast<int>(std::size(fields)));
}

} // namespace

void systemLog(const SystemLogEntry &entry)
{
    if (const SystemLogSink &sink = installedSink())
        sink(entry);
    else
        writeToJournal(entry);
}

SystemLogSink setSystemLogSink(SystemLogSink sink)
{
    SystemLogSink previous = std::move(installedSink());
    installedSink() = std::move(sink);
    return previous;
}
