#include "support/HeadlessSway.h"

#include "support/FileTrees.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The user sway runs as when the test is root.
constexpr char kUser[] = "nobody";

void collectPids(const QJsonObject &node, QList<qint64> *pids)
{
    if (node.contains(QLatin1String("pid")))
        pids->append(node.value(QLatin1String("pid")).toInteger());
    for (const char *key : {"nodes", "floating_nodes"})
        for (const QJsonValue &child : node.value(QLatin1String(key)).toArray())
            collectPids(child.toObject(), pids);
}

} // namespace

std::optional<QString> HeadlessSway::unavailable()
{
    if (QStandardPaths::findExecutable(QStringLiteral("sway")).isEmpty())
        return QStringLiteral("sway is not installed (Debian's sway), so there is no Wayland compositor to test with");
    if (::geteuid() == 0 && QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        return QStringLiteral("setpriv is not installed (Debian's util-linux), and sway does not run as root");
    return std::nullopt;
}

HeadlessSway::HeadlessSway(int outputs, const QStringList &config)
{
    if (const std::optional<QString> missing = unavailable()) {
        m_failure = *missing;
        return;
    }
    if (!m_runtime.isValid()) {
        m_failure = QStringLiteral("cannot make a runtime folder: ") + m_runtime.errorString();
        return;
    }
    const QString runtime = m_runtime.path();
    const QString configPath = runtime + QStringLiteral("/config");
    QFile configFile(configPath);
    const QByteArray text = "xwayland disable\n" + config.join(u'\n').toUtf8() + '\n';
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(text) != text.size()) {
        m_failure = QStringLiteral("cannot write %1").arg(configPath);
        return;
    }
    configFile.close();
    ::chmod(QFile::encodeName(configPath).constData(), 0644);

    QString program = QStringLiteral("sway");
    QStringList args{QStringLiteral("-c"), configPath};
    if (::geteuid() == 0) {
        const passwd *user = ::getpwnam(kUser);
        if (!user) {
            m_failure = QStringLiteral("there is no user %1 to run sway as").arg(QLatin1String(kUser));
            return;
        }
        if (::chown(QFile::encodeName(runtime).constData(), user->pw_uid, user->pw_gid) != 0) {
            m_failure = QStringLiteral("cannot give %1 to %2").arg(runtime, QLatin1String(kUser));
            return;
        }
        args = QStringList{QStringLiteral("--reuid=%1").arg(user->pw_uid), QStringLiteral("--regid=%1").arg(user->pw_gid),
                           QStringLiteral("--clear-groups"), QStringLiteral("--"), program}
               + args;
        program = QStringLiteral("setpriv");
    }

    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH", QStringLiteral("/usr/bin:/bin")));
    env.insert(QStringLiteral("HOME"), runtime);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
    env.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
    env.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
    env.insert(QStringLiteral("WLR_HEADLESS_OUTPUTS"), QString::number(outputs));
    m_server.setProcessEnvironment(env);
    // To a file: nothing reads a pipe while a test waits on something else.
    const QString log = runtime + QStringLiteral("/sway.log");
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.setStandardOutputFile(log);
    m_server.start(program, args);
    if (!m_server.waitForStarted(30000)) {
        m_failure = QStringLiteral("cannot start sway: ") + m_server.errorString();
        return;
    }

    // Ready once both sockets are there and it reports its outputs.
    const QDeadlineTimer deadline(60000);
    QString said;
    while (!deadline.hasExpired() && m_server.state() == QProcess::Running) {
        const QDir folder(runtime);
        const QStringList sockets = folder.entryList({QStringLiteral("wayland-*")}, QDir::System);
        const QStringList ipc = folder.entryList({QStringLiteral("sway-ipc.*.sock")}, QDir::System);
        const auto socket = std::find_if(sockets.begin(), sockets.end(), [](const QString &n) { return !n.endsWith(u".lock"); });
        if (socket != sockets.end() && !ipc.isEmpty()) {
            m_socket = *socket;
            m_ipc = runtime + u'/' + ipc.first();
            const ProgramRun answer = run(QStringLiteral("swaymsg"), {QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_outputs")});
            said = answer.err.trimmed();
            if (answer.exitCode == 0 && QJsonDocument::fromJson(answer.out.toUtf8()).array().size() >= outputs) {
                m_ready = true;
                return;
            }
        }
        QThread::msleep(50);
    }
    m_failure = QStringLiteral("sway did not come up%1\n%2").arg(said.isEmpty() ? QString() : QStringLiteral(": ") + said, lastLines(log, 15));
}

HeadlessSway::~HeadlessSway()
{
    stop();
}

QProcessEnvironment HeadlessSway::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
    base.insert(QStringLiteral("WAYLAND_DISPLAY"), m_socket);
    base.insert(QStringLiteral("SWAYSOCK"), m_ipc);
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    base.remove(QStringLiteral("DISPLAY"));
    return base;
}

ProgramRun HeadlessSway::run(const QString &program, const QStringList &args) const
{
    return runToEnd(program, args, environment());
}

QList<qint64> HeadlessSway::windowPids() const
{
    const ProgramRun tree = run(QStringLiteral("swaymsg"), {QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_tree")});
    QList<qint64> pids;
    if (tree.exitCode == 0)
        collectPids(QJsonDocument::fromJson(tree.out.toUtf8()).object(), &pids);
    return pids;
}

bool HeadlessSway::stop()
{
    m_ready = false;
    if (m_server.state() == QProcess::NotRunning)
        return true;
    m_server.terminate();
    if (!m_server.waitForFinished(30000)) {
        m_server.kill();
        m_server.waitForFinished(10000);
    }
    return m_server.state() == QProcess::NotRunning;
}
