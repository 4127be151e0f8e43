#include "support/DummyXorg.h"

#include "support/FileTrees.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

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

// A display number nobody uses: no lock file, no socket.
int freeDisplay()
{
    for (int n = 57; n < 200; ++n) {
        if (!QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n))
            && !QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)))
            return n;
    }
    return -1;
}

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
    const int n = freeDisplay();
    if (n < 0) {
        m_failure = QStringLiteral("no free display number");
        return;
    }
    m_display = QStringLiteral(":%1").arg(n);
    m_log = root + QStringLiteral("/xorg.log");
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    // -config with a path of our own, and a server that needs no VT: it
    // runs as root in CI, where no display manager has set one up.
    m_server.start(xorg, {m_display, QStringLiteral("-config"), config, QStringLiteral("-logfile"), m_log,
                          QStringLiteral("-noreset"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                          QStringLiteral("-novtswitch"), QStringLiteral("-sharevts")});
    if (!m_server.waitForStarted(10000)) {
        m_failure = QStringLiteral("cannot start %1: %2").arg(xorg, m_server.errorString());
        return;
    }
    // Ready once a client gets an answer.
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        if (m_server.state() != QProcess::Running)
            break;
        if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) && run(QStringLiteral("xrandr"), {})) {
            m_running = true;
            return;
        }
        QThread::msleep(50);
    }
    m_failure = QStringLiteral("Xorg %1 did not come up: %2\n%3")
                    .arg(m_display, QString::fromUtf8(m_server.readAll()).trimmed(), lastLines(m_log, 15));
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
