#include "support/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>

#include <atomic>
#include <csignal>

namespace {
std::atomic<int> g_busCount{0};
}

PrivateBus::PrivateBus(const QString &root, const QString &serviceDir)
{
    QDir().mkpath(root);
    QDir().mkpath(serviceDir);
    const QString socket = root + QStringLiteral("/bus");
    m_address = QStringLiteral("unix:path=") + socket;
    const QString config = root + QStringLiteral("/bus.conf");
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly))
        return;
    f.write(QStringLiteral(
                "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig>\n"
                "  <type>session</type>\n"
                "  <listen>%1</listen>\n"
                "  <auth>EXTERNAL</auth>\n"
                "  <servicedir>%2</servicedir>\n"
                "  <policy context=\"default\">\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "    <allow own=\"*\"/>\n"
                "  </policy>\n"
                "</busconfig>\n")
                .arg(m_address.toHtmlEscaped(), serviceDir.toHtmlEscaped())
                .toUtf8());
    f.close();

    // What the bus passes on to the programs it activates.
    m_daemon.setProcessEnvironment(environment());
    m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"), QStringLiteral("--nopidfile")});
    if (!m_daemon.waitForStarted())
        return;
    m_connectionName = QStringLiteral("fw-test-bus-%1").arg(++g_busCount);
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (QFile::exists(socket)) {
            QDBusConnection c = QDBusConnection::connectToBus(m_address, m_connectionName);
            if (c.isConnected()) {
                m_connected = true;
                return;
            }
            QDBusConnection::disconnectFromBus(m_connectionName);
        }
        QTest::qWait(20);
    }
}

PrivateBus::~PrivateBus()
{
    if (!m_connectionName.isEmpty())
        QDBusConnection::disconnectFromBus(m_connectionName);
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000))
            m_daemon.kill();
        m_daemon.waitForFinished();
    }
}

QDBusConnection PrivateBus::connection() const
{
    return QDBusConnection(m_connectionName);
}

QProcessEnvironment PrivateBus::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

bool PrivateBus::waitForOwner(const QString &name, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (ownerPid(name) != 0)
            return true;
        QTest::qWait(20);
    }
    return false;
}

bool PrivateBus::waitForNoOwner(const QString &name, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (ownerPid(name) == 0)
            return true;
        QTest::qWait(20);
    }
    return false;
}

qint64 PrivateBus::ownerPid(const QString &name) const
{
    const QDBusReply<uint> pid = connection().interface()->servicePid(name);
    return pid.isValid() ? pid.value() : 0;
}

AppProcess::AppProcess(const QProcessEnvironment &env, const QStringList &arguments)
{
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(appPath(), arguments);
    m_process.waitForStarted();
}

AppProcess::~AppProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }
}

QString AppProcess::appPath()
{
    return QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/Ferrowhistle");
}

QString AppProcess::clientPath()
{
    return QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-display");
}

namespace {

// Gone, or a zombie that nobody has reaped yet (a detached process belongs
// to whoever adopts it, which in a container may never reap it).
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

} // namespace

void terminatePid(qint64 pid)
{
    if (pid <= 0)
        return;
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (processGone(pid))
            return;
        QTest::qWait(20);
    }
    ::kill(static_cast<pid_t>(pid), SIGKILL);
}
