#include "codesign/ResolveBeneath.h"

#include "platform/UniqueFd.h"

#include <QList>

#include <atomic>
#include <cerrno>
#include <deque>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_forceComponents{false};
// Set once the kernel refused the call itself; from then on every
// resolution walks, instead of asking again for each link.
std::atomic<bool> g_kernelLacksOpenat2{false};

// The kernel's own limit on links followed in one resolution.
constexpr int kMaxLinks = 40;
// A link's target is at most a page on Linux.
constexpr size_t kMaxTarget = 4096;

// The components of path in order, "" and "." dropped; a trailing slash
// keeps a "." at the end so that the last name must be a folder, as the
// kernel requires.
void prependComponents(std::deque<QByteArray> &todo, const QByteArray &path)
{
    std::vector<QByteArray> parts;
    for (const QByteArray &part : path.split('/')) {
        if (!part.isEmpty() && part != ".")
            parts.push_back(part);
    }
    if (path.endsWith('/'))
        parts.emplace_back(".");
    todo.insert(todo.begin(), parts.begin(), parts.end());
}

} // namespace

PathReach reachBeneathByComponents(int folderFd, const QByteArray &relativePath)
{
    if (relativePath.startsWith('/'))
        return PathReach::Outside;
    // The folders entered so far, below folderFd; ".." leaves the last one.
    std::vector<UniqueFd> entered;
    std::deque<QByteArray> todo;
    prependComponents(todo, relativePath);
    int links = 0;
    while (!todo.empty()) {
        const QByteArray part = todo.front();
        todo.pop_front();
        const int current = entered.empty() ? folderFd : entered.back().get();
        if (part == ".") {
            continue; // only kept at the end, where current is a folder already
        }
        if (part == "..") {
            if (entered.empty())
                return PathReach::Outside;
            entered.pop_back();
            continue;
        }
        // O_PATH | O_NOFOLLOW opens a link as itself: what is looked at
        // below is what was opened, whatever is renamed into place meanwhile.
        UniqueFd fd(::openat(current, part.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!fd || ::fstat(fd.get(), &st) != 0)
            return PathReach::Nowhere;
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks)
                return PathReach::Nowhere;
            char target[kMaxTarget + 1];
            const ssize_t n = ::readlinkat(fd.get(), "", target, sizeof target);
            if (n <= 0 || size_t(n) > kMaxTarget)
                return PathReach::Nowhere;
            if (target[0] == '/')
                return PathReach::Outside;
            prependComponents(todo, QByteArray(target, qsizetype(n)));
            continue;
        }
        if (todo.empty())
            return PathReach::Inside;
        if (!S_ISDIR(st.st_mode))
            return PathReach::Nowhere;
        entered.push_back(std::move(fd));
    }
    // The path ended in "." or ".." and so names a folder reached already.
    return PathReach::Inside;
}

PathReach reachBeneath(int folderFd, const QByteArray &relativePath)
{
    if (!g_forceComponents.load(std::memory_order_relaxed) && !g_kernelLacksOpenat2.load(std::memory_order_relaxed)) {
        struct open_how how {};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH;
        // EAGAIN: a rename elsewhere raced a ".." step; the kernel asks for a retry.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const long fd = ::syscall(SYS_openat2, folderFd, relativePath.constData(), &how, sizeof how);
            if (fd >= 0) {
                ::close(int(fd));
                return PathReach::Inside;
            }
            if (errno == EAGAIN)
                continue;
            if (errno == ENOSYS || errno == EPERM) {
                g_kernelLacksOpenat2.store(true, std::memory_order_relaxed);
                break;
            }
            return errno == EXDEV ? PathReach::Outside : PathReach::Nowhere;
        }
    }
    return reachBeneathByComponents(folderFd, relativePath);
}

void forceComponentResolution(bool on) { g_forceComponents.store(on, std::memory_order_relaxed); }
