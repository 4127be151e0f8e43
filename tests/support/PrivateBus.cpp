#include "support/PrivateBus.h"

#include "intent/BusNames.h"

#include <QDBusConnectionInterface>
#include <QCoreApplication>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>

PrivateBus::PrivateBus(const QString &root, const QString &serviceDir)
{
    QDir().mkpath(root);
    QDir().mkpath(serviceDir);
    m_address = QStringLiteral("unix:path=") + root + QStringLiteral("/bus");
    m_name = QStringLiteral("fw-test-bus:") + root;
    QFile config(root + QStringLiteral("/bus.conf"));
    if (!config.open(QIODevice::WriteOnly))
        return;
    config.write(QStringLiteral("<busconfig><type>session</type><listen>%1</listen><auth>EXTERNAL</auth>"
                                "<servicedir>%2</servicedir><policy context=\"default\">"
                                "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                "<allow own=\"*\"/></policy></busconfig>\n")
                     .arg(m_address.toHtmlEscaped(), serviceDir.toHtmlEscaped())
                     .toUtf8());
    config.close();
    m_daemon.setProcessEnvironment(environment());
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--nofork"), QStringLiteral("--nopidfile"), QStringLiteral("--config-file=") + config.fileName()});
    m_connected = m_daemon.waitForStarted() && QTest::qWaitFor([this] {
        if (!QFile::exists(m_address.mid(10)))
            return false;
        if (QDBusConnection::connectToBus(m_address, m_name).isConnected())
            return true;
        QDBusConnection::disconnectFromBus(m_name);
        return false;
    }, 20000);
}

PrivateBus::~PrivateBus()
{
    if (m_connected)
        stopApp();
    QDBusConnection::disconnectFromBus(m_name);
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000))
        m_daemon.kill();
    m_daemon.waitForFinished();
}

QProcessEnvironment PrivateBus::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

qint64 PrivateBus::appPid() const
{
    const QDBusReply<uint> pid = connection().interface()->servicePid(BusNames::service());
    return pid.isValid() ? pid.value() : 0;
}

bool PrivateBus::waitForApp(bool running) const
{
    return QTest::qWaitFor([&] { return (appPid() != 0) == running; }, 30000);
}

void PrivateBus::stopApp() const
{
    const qint64 pid = appPid();
    if (pid != 0 && pid != QCoreApplication::applicationPid()) {
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        waitForApp(false);
    }
}

QString bundleProgram(const QString &name)
{
    return QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/") + name;
}
