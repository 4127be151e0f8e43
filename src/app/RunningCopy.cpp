#include "app/RunningCopy.h"

#include "intent/BusNameLiterals.h"
#include "platform/SystemError.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <cstdint>

#include <climits>
#include <cstdlib>

#include <systemd/sd-bus.h>
#include <unistd.h>

namespace {

constexpr char kBus[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";

struct Call {
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int rc = 0;
    ~Call()
    {
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
    bool failed() const { return rc < 0; }
    QString errorText() const
    {
        if (sd_bus_error_is_set(&error))
            return QString::fromUtf8(error.message ? error.message : error.name);
        return systemErrorText(-rc);
    }
};

// One method call, waiting at most limit for its reply.
void call(sd_bus *bus, Call &c, const char *destination, const char *path, const char *interface, const char *member,
          std::chrono::milliseconds limit, const char *argument = nullptr, const uint32_t *flags = nullptr)
{
    sd_bus_message *message = nullptr;
    c.rc = sd_bus_message_new_method_call(bus, &message, destination, path, interface, member);
    if (c.rc >= 0)
        c.rc = sd_bus_message_set_auto_start(message, 0);
    if (c.rc >= 0 && argument)
        c.rc = sd_bus_message_append_basic(message, 's', argument);
    if (c.rc >= 0 && flags)
        c.rc = sd_bus_message_append_basic(message, 'u', flags);
    if (c.rc >= 0)
        c.rc = sd_bus_call(bus, message, uint64_t(std::max<qint64>(limit.count(), 1)) * 1000, &c.error, &c.reply);
    sd_bus_message_unref(message);
}

// The program a process runs, as the kernel names it (links resolved).
QByteArray executableOf(qint64 pid)
{
    char target[PATH_MAX];
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/exe";
    const ssize_t n = ::readlink(link.constData(), target, sizeof target);
    return n > 0 ? QByteArray(target, int(n)) : QByteArray();
}

QByteArray resolved(const QString &program)
{
    char *real = ::realpath(QFile::encodeName(program).constData(), nullptr);
    const QByteArray path = real ? QByteArray(real) : QFile::encodeName(program);
    std::free(real);
    return path;
}

} // namespace

RunningCopy::RunningCopy()
{
    const int rc = sd_bus_open_user(&m_bus);
    if (rc < 0) {
        m_bus = nullptr;
        m_problem = QStringLiteral("no session bus: ") + systemErrorText(-rc);
    }
}

RunningCopy::~RunningCopy() { release(); }

RunningCopy::Answer RunningCopy::ask(const QString &program, std::chrono::milliseconds limit)
{
    Answer answer;
    if (!m_bus) {
        answer.detail = m_problem;
        return answer;
    }
    Call owner;
    call(m_bus, owner, kBus, kBusPath, kBus, "GetNameOwner", limit, BusNames::Literal::service);
    const char *unique = nullptr;
    if (owner.failed() || sd_bus_message_read_basic(owner.reply, 's', &unique) < 0 || !unique) {
        answer.detail = QStringLiteral("nothing owns the bus name");
        return answer;
    }
    Call process;
    call(m_bus, process, kBus, kBusPath, kBus, "GetConnectionUnixProcessID", limit, unique);
    uint32_t pid = 0;
    if (process.failed() || sd_bus_message_read_basic(process.reply, 'u', &pid) < 0) {
        answer.kind = Answer::OtherProgram;
        answer.detail = QStringLiteral("the bus name's owner can't be told (%1)").arg(process.errorText());
        return answer;
    }
    answer.pid = pid;
    // The process, not what it says, tells which program runs.
    const QByteArray exe = executableOf(pid);
    if (exe.isEmpty() || exe != resolved(program)) {
        answer.kind = Answer::OtherProgram;
        answer.detail = QStringLiteral("the bus name's owner (process %1) runs %2")
                            .arg(pid)
                            .arg(exe.isEmpty() ? QStringLiteral("a program that can't be read") : QFile::decodeName(exe));
        return answer;
    }
    // Asked of the owner by its unique name, so a change of owner meanwhile
    // cannot answer for it.
    answer.kind = Answer::NotAnswered;
    Call build;
    call(m_bus, build, unique, BusNames::Literal::objectPath, BusNames::Literal::instanceInterface,
         BusNames::Literal::build, limit);
    int64_t number = 0;
    if (build.failed() || sd_bus_message_read_basic(build.reply, 'x', &number) < 0) {
        answer.detail = QStringLiteral("the copy that owns the bus name (process %1) didn't say its build (%2)")
                            .arg(pid)
                            .arg(build.failed() ? build.errorText() : QStringLiteral("not a build number"));
        return answer;
    }
    Call path;
    call(m_bus, path, unique, BusNames::Literal::objectPath, BusNames::Literal::instanceInterface,
         BusNames::Literal::bundlePath, limit);
    const char *bundle = nullptr;
    if (path.failed() || sd_bus_message_read_basic(path.reply, 's', &bundle) < 0 || !bundle) {
        answer.detail = QStringLiteral("the copy that owns the bus name (process %1) didn't say its bundle (%2)")
                            .arg(pid)
                            .arg(path.failed() ? path.errorText() : QStringLiteral("not a path"));
        return answer;
    }
    answer.kind = Answer::Answered;
    answer.build = number;
    answer.bundlePath = QString::fromUtf8(bundle);
    return answer;
}

std::optional<QString> RunningCopy::holdName()
{
    if (!m_bus)
        return m_problem;
    // No flags: queued behind the owner, never replacing it.
    Call request;
    const uint32_t flags = 0;
    call(m_bus, request, kBus, kBusPath, kBus, "RequestName", std::chrono::seconds(5), BusNames::Literal::service, &flags);
    if (request.failed())
        return request.errorText();
    return std::nullopt;
}

bool RunningCopy::ownsName()
{
    if (!m_bus)
        return false;
    Call owner;
    call(m_bus, owner, kBus, kBusPath, kBus, "GetNameOwner", std::chrono::seconds(5), BusNames::Literal::service);
    const char *unique = nullptr;
    const char *mine = nullptr;
    return !owner.failed() && sd_bus_message_read_basic(owner.reply, 's', &unique) >= 0 && unique
           && sd_bus_get_unique_name(m_bus, &mine) >= 0 && qstrcmp(unique, mine) == 0;
}

void RunningCopy::release()
{
    m_bus = sd_bus_flush_close_unref(m_bus);
}
