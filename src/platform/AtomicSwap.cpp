#include "platform/AtomicSwap.h"

#include "platform/SystemError.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>

namespace {

std::atomic<bool> g_forceFallback{false};

QString systemText(int error) { return systemErrorText(error); }

// File systems without the exchange say so with one of these.
bool exchangeUnsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP; }

} // namespace

void AtomicSwap::forceFallbackForTesting(bool force) { g_forceFallback = force; }

AtomicSwap::Result AtomicSwap::replace(const QString &target, const QString &replacement, const QString &asidePath,
                                       const StepHook &hook)
{
    const QByteArray t = QFile::encodeName(target);
    const QByteArray r = QFile::encodeName(replacement);
    const QByteArray a = QFile::encodeName(asidePath);
    auto step = [&](Step s) {
        if (hook)
            hook(s);
    };

    if (!g_forceFallback) {
        step(Step::BeforeExchange);
        if (::renameat2(AT_FDCWD, r.constData(), AT_FDCWD, t.constData(), RENAME_EXCHANGE) == 0) {
            step(Step::AfterExchange);
            return {replacement, false};
        }
        const int error = errno;
        if (!exchangeUnsupported(error))
            throw SwapError(systemText(error));
    }

    step(Step::BeforeMoveAside);
    // RENAME_NOREPLACE: the aside name is fresh; never overwrite something there.
    if (::renameat2(AT_FDCWD, t.constData(), AT_FDCWD, a.constData(), RENAME_NOREPLACE) != 0
        && !(exchangeUnsupported(errno) && ::rename(t.constData(), a.constData()) == 0))
        throw SwapError(systemText(errno));
    step(Step::BeforeMoveIn);
    if (::rename(r.constData(), t.constData()) != 0) {
        const int error = errno;
        if (::rename(a.constData(), t.constData()) != 0)
            throw SwapError(QStringLiteral("%1; the old copy couldn't be moved back (%2) and is kept at %3")
                                .arg(systemText(error), systemText(errno), asidePath),
                            asidePath);
        throw SwapError(systemText(error));
    }
    step(Step::AfterMoveIn);
    return {asidePath, true};
}
