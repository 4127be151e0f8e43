#include "DisplayClient.h"

#include "intent/BusNameLiterals.h"
#include "platform/FileIO.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using namespace BusNames::Literal;

// The call lasts as long as the message stays: no timeout.
constexpr uint64_t kNoTimeout = UINT64_MAX;
// What is read back of a failed app's errors: its last line is in here.
constexpr off_t kErrorTail = 64 * 1024;

struct ErrorFree {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorFree() { sd_bus_error_free(&error); }
};
struct MessageUnref {
    void operator()(sd_bus_message *m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
struct SlotUnref {
    void operator()(sd_bus_slot *s) const { sd_bus_slot_unref(s); }
};

std::string oneLine(std::string text)
{
    for (char &c : text) {
        if (c == '\n')
            c = ' ';
    }
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
    size_t begin = 0, end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::string errnoText(int error) { return std::strerror(error < 0 ? -error : error); }

bool isSpawnError(std::string_view errorName) { return errorName.starts_with("org.freedesktop.DBus.Error.Spawn."); }

// No app owns the name and none could be activated for it (no activation
// file, or a stale one): starting the app beside us may still work.
bool noAppCameUp(std::string_view errorName)
{
    return isSpawnError(errorName) || errorName == "org.freedesktop.DBus.Error.ServiceUnknown";
}

// The folder of this executable; the app sits beside it in the bundle.
std::string ownFolder()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    const std::string_view exe(path, size_t(n));
    const size_t slash = exe.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? std::string("/") : std::string(exe.substr(0, slash));
}

bool isExecutableFile(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// An already unlinked file in the temporary folder, for the started app's
// stderr: when it fails to start, its own one-line reason can be passed on.
UniqueFd unlinkedTempFile()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string path = (tmp && *tmp) ? tmp : "/tmp";
    path += "/ferrowhistle-display.XXXXXX";
    UniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
    if (fd)
        ::unlink(path.c_str());
    return fd;
}

// The last non-blank line of what the file holds (looking at its end only).
std::string lastLine(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size <= 0)
        return {};
    const off_t from = st.st_size > kErrorTail ? st.st_size - kErrorTail : 0;
    std::string text(size_t(st.st_size - from), '\0');
    if (::lseek(fd, from, SEEK_SET) < 0)
        return {};
    const long long n = readFull(fd, text.data(), text.size());
    if (n <= 0)
        return {};
    text.resize(size_t(n));
    std::string last;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = oneLine(text.substr(start, end - start));
        if (!line.empty())
            last = std::move(line);
        start = end + 1;
    }
    return DisplayArguments::validUtf8(last);
}

struct SpawnAttributes {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnAttributes()
    {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnAttributes()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// Starts PROGRAM in a session of its own (so Ctrl-C here leaves it running),
// in "/", with its input and output on /dev/null (so $(ferrowhistle-display
// ...) does not wait on it) and its stderr on errorFd. Returns 0 or an errno.
int startDetached(const std::string &program, int errorFd, pid_t *pid)
{
    SpawnAttributes s;
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&s.attr, &none);
    posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_addopen(&s.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&s.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&s.actions, errorFd, STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&s.actions, "/");
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    return posix_spawn(pid, program.c_str(), &s.actions, &s.attr, argv, environ);
}

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

DisplayClient::DisplayClient()
{
    sd_bus *bus = nullptr;
    m_openError = sd_bus_open_user(&bus);
    if (m_openError >= 0) {
        m_bus.reset(bus);
        m_openError = 0;
    }
}

DisplayClient::Result DisplayClient::run(const DisplayArguments &arguments)
{
    if (m_openError < 0) {
        const std::string why = m_openError == -ENOMEDIUM ? std::string("no address for it (DBUS_SESSION_BUS_ADDRESS "
                                                                        "and XDG_RUNTIME_DIR are not set)")
                                                          : errnoText(m_openError);
        return {1, "cannot reach the session bus: " + why};
    }

    // Call straight away: a running app answers, and an installed activation
    // file makes the bus start one, which holds the message until it has
    // finished launching. Only when neither is there is the app started here.
    const Result first = call(arguments);
    const std::string errorName = first.error.substr(0, first.error.find(' '));
    if (first.exitCode == 0 || !noAppCameUp(errorName))
        return first;
    const std::string launchError = launchBesideUs();
    if (!launchError.empty()) {
        // After a failed activation both reasons matter; "no such name" adds nothing.
        return {1, isSpawnError(errorName) ? first.error + "; " + launchError : launchError};
    }
    return call(arguments);
}

DisplayClient::Result DisplayClient::call(const DisplayArguments &arguments)
{
    ErrorFree e;
    sd_bus_message *raw = nullptr;
    // The older method unless the newer one's options or answer are wanted,
    // so a plain call works with any version of the app.
    const bool withOptions = !arguments.screen.empty() || arguments.printOutcome;
    int r = sd_bus_message_new_method_call(m_bus.get(), &raw, service, objectPath, intentsInterface,
                                           withOptions ? displayMessageWithOptions : displayMessage);
    Message message(raw);
    if (r >= 0)
        r = sd_bus_message_append(message.get(), "ssd", arguments.message.c_str(), arguments.position.c_str(),
                                  arguments.duration);
    if (r >= 0 && withOptions) {
        if (arguments.screen.empty())
            r = sd_bus_message_append(message.get(), "a{sv}", 0);
        else
            r = sd_bus_message_append(message.get(), "a{sv}", 1, "screen", "s", arguments.screen.c_str());
    }
    sd_bus_message *reply = nullptr;
    if (r >= 0)
        r = sd_bus_call(m_bus.get(), message.get(), kNoTimeout, &e.error, &reply);
    Message owned(reply);
    if (r >= 0 && !withOptions)
        return {0, {}, {}};
    if (r >= 0) {
        const char *outcome = nullptr;
        if (sd_bus_message_read(reply, "s", &outcome) >= 0 && outcome)
            return {0, {}, outcome};
        return {1, "Ferrowhistle's reply did not say how the message ended", {}};
    }
    if (!sd_bus_error_is_set(&e.error))
        sd_bus_error_set_errno(&e.error, r);
    const std::string name = e.error.name ? e.error.name : "";
    // The error name leads, so the caller can tell a failed activation.
    const std::string text = name + ' ' + oneLine(e.error.message ? e.error.message : "");
    if (name == "org.freedesktop.DBus.Error.InvalidArgs")
        return {2, text};
    if (name == "org.freedesktop.DBus.Error.NoReply")
        return {1, "Ferrowhistle went away before the message had gone (" + text + ")"};
    if (r == -ECONNRESET || r == -ENOTCONN || r == -ECONNREFUSED)
        return {1, "cannot reach the session bus: " + text};
    return {1, text};
}

bool DisplayClient::appIsOnBus()
{
    ErrorFree e;
    sd_bus_message *reply = nullptr;
    const int r = sd_bus_call_method(m_bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "NameHasOwner", &e.error, &reply, "s", service);
    Message owned(reply);
    int has = 0;
    return r >= 0 && sd_bus_message_read(reply, "b", &has) >= 0 && has;
}

std::string DisplayClient::launchBesideUs()
{
    const std::string program = ownFolder() + "/Ferrowhistle";
    if (!isExecutableFile(program))
        return "Ferrowhistle is not running and " + program + " cannot be started (no such program)";

    // Watch before starting, so a quick registration cannot slip past.
    bool appeared = false;
    const std::string match = std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                          "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                              service + "'";
    const auto onOwnerChanged = [](sd_bus_message *m, void *userdata, sd_bus_error *) -> int {
        const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0 && newOwner && *newOwner)
            *static_cast<bool *>(userdata) = true;
        return 0;
    };
    sd_bus_slot *rawSlot = nullptr;
    int r = sd_bus_add_match(m_bus.get(), &rawSlot, match.c_str(), onOwnerChanged, &appeared);
    const std::unique_ptr<sd_bus_slot, SlotUnref> slot(rawSlot);
    if (r < 0)
        return "cannot watch the session bus for " + program + ": " + errnoText(r);

    // Its stderr goes to an unlinked file: when it fails to start, its own
    // one-line reason can be passed on.
    const UniqueFd errors = unlinkedTempFile();
    if (!errors)
        return "cannot start " + program + ": no temporary file for its errors (" + errnoText(errno) + ")";

    pid_t pid = 0;
    if (const int spawnError = startDetached(program, errors.get(), &pid); spawnError != 0)
        return "cannot start " + program + ": " + errnoText(spawnError);

    // Its end is watched through a process file descriptor, which becomes
    // readable when it exits. It is our child until we end, so its pid
    // cannot be reused before we have reaped it.
    const UniqueFd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

    if (appIsOnBus())
        return {};

    enum class Start { Waiting, Appeared, Exited, TimedOut, BusLost };
    Start outcome = Start::Waiting;
    int busError = 0;
    const int64_t deadline = nowMs() + kStartTimeoutMs;
    while (outcome == Start::Waiting) {
        while ((r = sd_bus_process(m_bus.get(), nullptr)) > 0 && !appeared) {
        }
        if (appeared) {
            outcome = Start::Appeared;
            break;
        }
        if (r < 0) {
            busError = r;
            outcome = Start::BusLost;
            break;
        }
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            outcome = Start::TimedOut;
            break;
        }
        // Without a pidfd (an old kernel) its end is looked for each turn.
        int timeout = pidFd ? int(left) : int(std::min<int64_t>(left, 100));
        uint64_t busTimeout = 0;
        if (sd_bus_get_timeout(m_bus.get(), &busTimeout) > 0 && busTimeout != UINT64_MAX) {
            const auto nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
            const int64_t busLeftMs = busTimeout > uint64_t(nowUs) ? int64_t((busTimeout - uint64_t(nowUs) + 999) / 1000) : 0;
            timeout = int(std::min<int64_t>(timeout, busLeftMs));
        }
        pollfd fds[2] = {{sd_bus_get_fd(m_bus.get()), short(sd_bus_get_events(m_bus.get())), 0},
                         {pidFd ? pidFd.get() : -1, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
            busError = -errno;
            outcome = Start::BusLost;
            break;
        }
        if (fds[1].revents & POLLIN)
            outcome = Start::Exited;
        else if (!pidFd && ::waitpid(pid, nullptr, WNOHANG) == pid)
            outcome = Start::Exited;
    }
    if (outcome == Start::Exited || outcome == Start::BusLost)
        ::waitpid(pid, nullptr, WNOHANG);

    if (outcome == Start::Appeared)
        return {};
    if (outcome == Start::TimedOut)
        return "started " + program + ", but it did not appear on the session bus within " +
               std::to_string(kStartTimeoutMs / 1000) + " s";
    if (outcome == Start::BusLost)
        return "started " + program + ", but lost the session bus while waiting for it: " + errnoText(busError);
    // It may have registered and then ended; that is not a failed start.
    if (appIsOnBus())
        return {};
    const std::string reason = lastLine(errors.get());
    if (reason.empty())
        return "started " + program + ", but it ended before it appeared on the session bus";
    return "started " + program + ", but it ended before it appeared on the session bus: " + reason;
}
