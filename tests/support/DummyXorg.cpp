#include "support/DummyXorg.h"

#include "support/FileTrees.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

namespace {

constexpr char kConfig[] = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 2560 1024
  EndSubSection
EndSection
)";

} // namespace

DummyXorg::DummyXorg(const QString &root)
{
    const QString xorg = QStandardPaths::findExecutable(QStringLiteral("Xorg"));
    if (xorg.isEmpty()) {
        m_failure = QStringLiteral("no Xorg program (Debian's xserver-xorg-core)");
        return;
    }
    if (!QFileInfo::exists(QStringLiteral("/usr/lib/xorg/modules/drivers/dummy_drv.so"))) {
        m_failure = QStringLiteral("no dummy video driver (Debian's xserver-xorg-video-dummy)");
        return;
    }
    const QString config = root + QStringLiteral("/xorg.conf");
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly) || f.write(kConfig) < 0) {
        m_failure = QStringLiteral("cannot write %1").arg(config);
        return;
    }
    f.close();
    m_log = root + QStringLiteral("/xorg.log");
    // -config with a path of our own, and a server that needs no VT: it
    // runs as root in CI, where no display manager has set one up. The
    // server takes the first free display number itself and writes it once
    // it accepts clients, so tests starting servers side by side never race
    // for one number.
    m_server.start(xorg, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-config"), config,
                          QStringLiteral("-logfile"), m_log, QStringLiteral("-noreset"), QStringLiteral("-nolisten"),
                          QStringLiteral("tcp"), QStringLiteral("-novtswitch"), QStringLiteral("-sharevts")});
    if (!m_server.waitForStarted(10000)) {
        m_failure = QStringLiteral("cannot start %1: %2").arg(xorg, m_server.errorString());
        return;
    }
    const QDeadlineTimer deadline(30000);
    while (!m_server.canReadLine() && m_server.state() == QProcess::Running && !deadline.hasExpired())
        m_server.waitForReadyRead(int(std::clamp<qint64>(deadline.remainingTime(), 1, 1000)));
    bool number = false;
    const int n = m_server.canReadLine() ? m_server.readLine().trimmed().toInt(&number) : -1;
    if (number && n >= 0) {
        m_display = QStringLiteral(":%1").arg(n);
        m_running = true;
        return;
    }
    m_failure = QStringLiteral("Xorg did not come up: %1\n%2")
                    .arg(QString::fromUtf8(m_server.readAllStandardError()).trimmed(), lastLines(m_log, 15));
}

DummyXorg::~DummyXorg()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(10000)) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }
}

QProcessEnvironment DummyXorg::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("DISPLAY"), m_display);
    base.remove(QStringLiteral("WAYLAND_DISPLAY"));
    base.remove(QStringLiteral("XAUTHORITY")); // the server takes no cookie
    return base;
}

bool DummyXorg::run(const QString &program, const QStringList &args, QString *error) const
{
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(program, args);
    const bool ok = p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (error)
        *error = QString::fromUtf8(p.readAllStandardError()).trimmed();
    return ok;
}

bool DummyXorg::useTwoMonitors(QString *error) const
{
    const QString xrandr = QStringLiteral("xrandr");
    // --addmode fails once the mode is there; the layout that follows is
    // what counts.
    run(xrandr, {QStringLiteral("--addmode"), QStringLiteral("DUMMY1"), QStringLiteral("1280x1024")});
    return run(xrandr,
               {QStringLiteral("--output"), QStringLiteral("DUMMY0"), QStringLiteral("--mode"), QStringLiteral("1280x1024"),
                QStringLiteral("--pos"), QStringLiteral("0x0"), QStringLiteral("--primary"), QStringLiteral("--output"),
                QStringLiteral("DUMMY1"), QStringLiteral("--mode"), QStringLiteral("1280x1024"), QStringLiteral("--right-of"),
                QStringLiteral("DUMMY0")},
               error);
}
