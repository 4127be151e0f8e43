#include "update/UpdaterModule.h"

#include "platform/SystemError.h"
#include "platform/SystemLog.h"
#include "platform/UniqueFd.h"
#include "platform/Worker.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <dlfcn.h>
#include <fcntl.h>

namespace {

using Entry = UpdaterInterface *(*)();

struct ModuleFile {
    std::mutex lock;
    UniqueFd fd;
    QString path;
    void *handle = nullptr;
    UpdaterInterface *updater = nullptr;
};

ModuleFile &module()
{
    static ModuleFile file;
    return file;
}

[[noreturn]] void cannotLoad(const QString &reason)
{
    const QString line = QStringLiteral("Couldn't load the updater from %1: %2").arg(module().path, reason);
    std::fprintf(stderr, "Ferrowhistle: %s\n", qPrintable(line));
    std::fflush(stderr);
    // Said once on stderr above; the journal gets it too where there is one.
    sendToJournal({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("updater"), line});
    // A damaged copy: nothing here can be trusted to run on, and the bus
    // name and the tray go with the process.
    std::_Exit(1);
}

// Loads the module (worker or GUI thread); safe to call from both at once.
void *loadHandle()
{
    ModuleFile &m = module();
    std::lock_guard guard(m.lock);
    if (m.handle)
        return m.handle;
    if (!m.fd)
        cannotLoad(QStringLiteral("the file was not opened at start"));
    // Through the descriptor opened at start: the copy that is running.
    const QByteArray byFd = "/proc/self/fd/" + QByteArray::number(m.fd.get());
    void *handle = dlopen(byFd.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        cannotLoad(QString::fromLocal8Bit(dlerror()));
    m.handle = handle;
    m.fd.reset();
    return handle;
}

UpdaterInterface *makeUpdater(void *handle)
{
    ModuleFile &m = module();
    if (!m.updater) {
        const auto entry = reinterpret_cast<Entry>(dlsym(handle, "ferrowhistle_updater"));
        if (!entry)
            cannotLoad(QStringLiteral("it has no entry point"));
        m.updater = entry();
    }
    return m.updater;
}

} // namespace

QString UpdaterModule::pathIn(const QString &bundlePath)
{
    return bundlePath + QStringLiteral("/Contents/lib/ferrowhistle-updater.so");
}

std::optional<QString> UpdaterModule::open(const QString &bundlePath)
{
    ModuleFile &m = module();
    std::lock_guard guard(m.lock);
    m.path = pathIn(bundlePath);
    m.fd = UniqueFd(::open(QFile::encodeName(m.path).constData(), O_RDONLY | O_CLOEXEC));
    if (!m.fd)
        return QStringLiteral("Couldn't open %1: %2.").arg(m.path, systemErrorText(errno));
    return std::nullopt;
}

QCoro::Task<UpdaterInterface *> UpdaterModule::load()
{
    if (module().updater)
        co_return module().updater;
    auto loading = onWorker(&loadHandle);
    void *handle = co_await std::move(loading);
    // The updater is a QObject of the GUI thread: made here, not on the worker.
    co_return makeUpdater(handle);
}

UpdaterInterface &UpdaterModule::shared()
{
    if (!module().updater)
        makeUpdater(loadHandle());
    return *module().updater;
}

bool UpdaterModule::isLoaded()
{
    return module().updater != nullptr;
}
