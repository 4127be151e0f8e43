#include "AppUnderUpdate.h"

#include "intent/BusNames.h"
#include "platform/DefaultsStore.h"
#include "release/UpdaterDefaults.h"
#include "update/ReleaseFeed.h"
#include "update/Updater.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Why this process is no root of a user namespace of its own; set by
// becomeRootOfOwnUserNamespace().
std::string &namespaceFailure()
{
    static std::string failure;
    return failure;
}

bool writeProcFile(const char *path, const std::string &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return written;
}

// Enters a new user namespace, with this user and group as root in it, and
// a mount namespace of its own; on failure, the step that failed and why.
std::string enterAsRoot(uid_t uid, gid_t gid)
{
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return std::string("unshare(CLONE_NEWUSER | CLONE_NEWNS): ") + std::strerror(errno);
    // An unprivileged process may map its group only once it gave up
    // setting supplementary groups.
    const std::pair<const char *, std::string> steps[] = {
        {"/proc/self/setgroups", "deny"},
        {"/proc/self/uid_map", "0 " + std::to_string(uid) + " 1"},
        {"/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"},
    };
    for (const auto &[file, text] : steps)
        if (!writeProcFile(file, text))
            return std::string("writing ") + file + ": " + std::strerror(errno);
    return {};
}

// The settings of this kernel that forbid a normal user namespaces, where
// they are set so, for the reason given with a skip.
std::string forbiddingSettings()
{
    struct Setting {
        const char *file, *name, *forbidding;
    };
    static const Setting settings[] = {
        {"/proc/sys/kernel/unprivileged_userns_clone", "kernel.unprivileged_userns_clone", "0"},
        {"/proc/sys/user/max_user_namespaces", "user.max_user_namespaces", "0"},
        {"/proc/sys/kernel/apparmor_restrict_unprivileged_userns", "kernel.apparmor_restrict_unprivileged_userns", "1"},
    };
    std::string found;
    for (const Setting &s : settings) {
        std::ifstream in(s.file);
        std::string value;
        if (in >> value && value == s.forbidding)
            found += std::string(found.empty() ? " (" : ", ") + s.name + " = " + value;
    }
    return found.empty() ? found : found + ')';
}

// The whole of it, bind included, tried in a child first: a namespace half
// entered (made, but without a mapping or without the right to mount) can't
// be left again, and would fail every case instead of skipping them.
std::string tryInChild(uid_t uid, gid_t gid)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    const pid_t child = ::fork();
    if (child < 0) {
        const int saved = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return std::string("fork: ") + std::strerror(saved);
    }
    if (child == 0) {
        ::close(fds[0]);
        std::string failure = enterAsRoot(uid, gid);
        if (failure.empty()
            && (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || ::mount("/etc/ssl/certs", "/etc/ssl/certs", nullptr, MS_BIND, nullptr) != 0))
            failure = std::string("binding a folder over /etc/ssl/certs: ") + std::strerror(errno);
        const ssize_t ignored = ::write(fds[1], failure.data(), failure.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string failure;
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            failure.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (failure.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        failure = "the trial in a child process did not end normally";
    return failure;
}

} // namespace

void becomeRootOfOwnUserNamespace()
{
    if (::geteuid() == 0)
        return;
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    std::string failure = tryInChild(uid, gid);
    if (failure.empty())
        failure = enterAsRoot(uid, gid);
    if (!failure.empty())
        namespaceFailure() = failure + forbiddingSettings();
}

QString whyNoCertificateFolder()
{
    if (::geteuid() == 0)
        return {};
    const std::string &failure = namespaceFailure();
    return QStringLiteral("binding a test authority over the system's certificate folder needs root or a user namespace: ")
           + (failure.empty() ? QStringLiteral("this process entered none") : QString::fromStdString(failure));
}

AppUnderUpdate::AppUnderUpdate(const QString &root, const QString &home, const TestCertificateAuthority &ca)
    : m_root(root), m_home(home)
{
    const QString busRoot = home + QStringLiteral("-bus");
    QDir().mkpath(busRoot);
    m_bus = std::make_unique<PrivateBus>(busRoot, busRoot + QStringLiteral("/services"));
    if (!m_bus->isRunning()) {
        error = QStringLiteral("no private bus");
        return;
    }
    environment = m_bus->environment();
    environment.insert(QStringLiteral("HOME"), home);
    m_logFile = home + QStringLiteral("-stderr.log");
    QFile::remove(m_logFile);

    // The relaunched processes inherit the mount namespace, where the
    // system's certificate file is not: the folder holds the authority
    // under its hashed name.
    const QString caFile = root + QStringLiteral("/loopback-ca.pem");
    QFile out(caFile);
    if (!out.open(QIODevice::WriteOnly) || out.write(ca.ca.toPem()) < 0) {
        error = QStringLiteral("can't write ") + caFile;
        return;
    }
    out.close();
    m_certs = root + QStringLiteral("/certs");
    QDir().mkpath(m_certs);
    QProcess hash;
    hash.start(QStringLiteral("openssl"), {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout"),
                                           QStringLiteral("-in"), caFile});
    if (!hash.waitForFinished() || hash.exitCode() != 0) {
        error = QStringLiteral("openssl x509 -hash failed");
        return;
    }
    const QString hashed = m_certs + u'/' + QString::fromLatin1(hash.readAll().trimmed()) + QStringLiteral(".0");
    if (!QFileInfo::exists(hashed) && !QFile::copy(caFile, hashed))
        error = QStringLiteral("can't copy the authority");
}

AppUnderUpdate::~AppUnderUpdate()
{
    if (m_bus)
        m_bus->stopApp();
    m_app.kill();
    m_app.waitForFinished();
}

void AppUnderUpdate::serve(LoopbackHttpsServer &server, const SignedFeedFiles &feed, const QByteArray &zip)
{
    server.handler = [feed, zip](const LoopbackHttpsServer::Request &r) { return releaseAnswer(r, feed, zip); };
    const DefaultsStore settings = DefaultsStore::standard();
    settings.setValue(ReleaseFeed::kFeedURLKey, server.url(QStringLiteral("/appcast.json")).toString());
    settings.setValue(Updater::kAutomaticCheckKey, false);
    // What an earlier case of the same test process marked.
    settings.remove(UpdaterDefaults::failedBuildsKey());
    settings.remove(UpdaterDefaults::revertedBuildsKey());
    settings.remove(UpdaterDefaults::rolledBackKey());
}

bool AppUnderUpdate::start(const QString &bundlePath)
{
    m_app.setProcessEnvironment(environment);
    m_app.setProcessChannelMode(QProcess::ForwardedChannels);
    m_app.start(QStringLiteral("unshare"),
                {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("/bin/sh"),
                 QStringLiteral("-c"), QStringLiteral("mount --bind \"$1\" /etc/ssl/certs && exec \"$0\" 2>>\"$2\""),
                 bundlePath + QStringLiteral("/Contents/bin/Ferrowhistle"), m_certs, m_logFile});
    if (!m_bus->waitForApp(true))
        return false;
    m_firstPid = m_bus->appPid();
    return true;
}

QDBusMessage AppUnderUpdate::action(const QString &name)
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                    BusNames::applicationInterface(), QStringLiteral("ActivateAction"));
    m.setArguments({name, QVariant::fromValue(QVariantList()), QVariant::fromValue(QVariantMap())});
    return m_bus->connection().call(m);
}

QStringList AppUnderUpdate::log() const
{
    QFile f(m_logFile);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("Ferrowhistle: "))
            lines << QString::fromUtf8(line.mid(14));
    return lines;
}

bool AppUnderUpdate::watchRuns(const QString &bundlePath)
{
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> args = cmdline.readAll().split('\0');
        if (args.size() > 2 && args.at(1) == "--watch-start" && args.at(2) == QFile::encodeName(bundlePath))
            return true;
    }
    return false;
}

SignedFeedFiles feedFor(const LoopbackHttpsServer &server, const QString &version, qint64 build, const QByteArray &zip,
                        const QByteArray &developerIdentityPem)
{
    QJsonObject record;
    record[QStringLiteral("version")] = version;
    record[QStringLiteral("build")] = build;
    record[QStringLiteral("url")] = server.url(QStringLiteral("/Ferrowhistle-%1.zip").arg(build)).toString();
    record[QStringLiteral("sha256")] = QString::fromLatin1(QCryptographicHash::hash(zip, QCryptographicHash::Sha256).toHex());
    return signedFeed(QJsonDocument(record).toJson(), developerIdentityPem);
}
