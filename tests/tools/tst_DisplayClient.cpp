// ferrowhistle-display as a script uses it: exit codes and one-line reasons,
// starting the app (beside itself, or through the installed activation
// file), and Ctrl-C while it waits.
#include "intent/BusNames.h"
#include "support/PrivateBus.h"
#include "support/ProgramRun.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QStringList errLines;
};

Run runClient(const QStringList &args, const QProcessEnvironment &env,
              const QString &program = bundleProgram(QStringLiteral("ferrowhistle-display")))
{
    const ProgramRun p = runToEnd(program, args, env);
    return {p.exitCode, p.out, p.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts)};
}

QProcessEnvironment withoutBus()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/fw-no-bus"));
    return env;
}

int lineIndex(const QStringList &lines, const QString &prefix)
{
    const auto it = std::find_if(lines.begin(), lines.end(), [&](const QString &l) { return l.startsWith(prefix); });
    return it == lines.end() ? -1 : int(it - lines.begin());
}

const QString kNine = QStringLiteral("center, top, bottom, left, right, topLeft, topRight, bottomLeft, bottomRight");

} // namespace

class TestDisplayClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void usageErrorsExitTwo_data();
    void usageErrorsExitTwo();
    void unreachableAppExitsOne();
    void startsTheAppBesideItselfAndCtrlCLeavesIt();
    void anAppThatEndsAtOnceIsReportedWithItsReason();
    void installedActivationFileStartsTheApp();
    void registrationFailingHalfwayIsStillUninstalled();
    void staleActivationFileFallsBackToTheAppBesideIt();
    void printsTheOutcomeOnALineOfItsOwn();

private:
    bool cardUp() const { return !m_x.mappedWindowsNamed(QStringLiteral("Ferrowhistle")).isEmpty(); }
    TestEnvironment m_env;
    X11Client m_x;
};

void TestDisplayClient::init()
{
    QVERIFY(QTest::qWaitFor([this] { return !cardUp(); }, 30000));
    m_env.clearDebugLog();
}

void TestDisplayClient::usageErrorsExitTwo_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("mentions");
    const QString hi = QStringLiteral("hi");
    QTest::newRow("no message") << QStringList{} << QStringLiteral("MESSAGE");
    QTest::newRow("two messages") << QStringList{hi, hi} << QStringLiteral("one MESSAGE");
    QTest::newRow("display title") << QStringList{hi, QStringLiteral("--position"), QStringLiteral("top left")} << kNine;
    QTest::newRow("wrong case") << QStringList{QStringLiteral("--position=Center"), hi} << kNine;
    QTest::newRow("no value") << QStringList{hi, QStringLiteral("--duration")} << QStringLiteral("--duration");
    QTest::newRow("not a number") << QStringList{hi, QStringLiteral("--duration"), QStringLiteral("5s")} << QStringLiteral("\"5s\"");
    QTest::newRow("infinite") << QStringList{hi, QStringLiteral("--duration=inf")} << QStringLiteral("\"inf\"");
    QTest::newRow("unknown option") << QStringList{hi, QStringLiteral("--colour")} << QStringLiteral("--colour");
    QTest::newRow("unknown screen") << QStringList{hi, QStringLiteral("--screen"), QStringLiteral("left")}
                                    << QStringLiteral("main, pointer, all");
    QTest::newRow("screen without a value") << QStringList{hi, QStringLiteral("--screen")} << QStringLiteral("--screen");
    QTest::newRow("outcome with a value") << QStringList{hi, QStringLiteral("--print-outcome=yes")}
                                          << QStringLiteral("--print-outcome");
}

void TestDisplayClient::usageErrorsExitTwo()
{
    QFETCH(QStringList, args);
    QFETCH(QString, mentions);
    const Run r = runClient(args, withoutBus());
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.errLines.value(0).contains(mentions), qPrintable(r.errLines.value(0)));
}

void TestDisplayClient::unreachableAppExitsOne()
{
    const Run help = runClient({QStringLiteral("--help")}, withoutBus());
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains(QStringLiteral("bottomLeft or bottomRight")));

    Run r = runClient({QStringLiteral("hi")}, withoutBus());
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.errLines.size(), 1);
    QVERIFY2(r.errLines.first().contains(QStringLiteral("session bus")), qPrintable(r.errLines.first()));

    // A bus without activation file, and no app beside a copied client.
    PrivateBus bus(m_env.root() + QStringLiteral("/bus1"), m_env.root() + QStringLiteral("/none"));
    const QString lonely = m_env.root() + QStringLiteral("/lonely/ferrowhistle-display");
    QVERIFY(QDir().mkpath(QFileInfo(lonely).path()));
    QVERIFY(QFile::copy(bundleProgram(QStringLiteral("ferrowhistle-display")), lonely));
    r = runClient({QStringLiteral("hi")}, bus.environment(), lonely);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.errLines.size(), 1);
    QVERIFY2(r.errLines.first().contains(QFileInfo(lonely).path() + QStringLiteral("/Ferrowhistle")),
             qPrintable(r.errLines.first()));
}

void TestDisplayClient::startsTheAppBesideItselfAndCtrlCLeavesIt()
{
    PrivateBus bus(m_env.root() + QStringLiteral("/bus2"), m_env.root() + QStringLiteral("/none"));
    QElapsedTimer clock;
    clock.start();
    const Run r = runClient({QStringLiteral("Beside"), QStringLiteral("--duration"), QStringLiteral("1")}, bus.environment());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(clock.elapsed() >= 1600 && !cardUp());
    const qint64 app = bus.appPid();
    QVERIFY(app > 0);
    QVERIFY(lineIndex(m_env.debugLogMessages(), QStringLiteral("show() message=\"Beside\"")) >= 0);

    // Ctrl-C goes to the terminal's foreground group: here, the client's.
    QProcess client;
    client.setProcessEnvironment(bus.environment());
    client.setChildProcessModifier([] { ::setpgid(0, 0); });
    client.start(bundleProgram(QStringLiteral("ferrowhistle-display")),
                 {QStringLiteral("Interrupted"), QStringLiteral("--duration"), QStringLiteral("20")});
    QVERIFY(QTest::qWaitFor([this] { return cardUp(); }, 30000));
    ::kill(-static_cast<pid_t>(client.processId()), SIGINT);
    QVERIFY(client.waitForFinished(10000));
    QCOMPARE(client.exitStatus(), QProcess::CrashExit);
    // The app, and the message it shows, stay.
    QCOMPARE(bus.appPid(), app);
    QVERIFY(cardUp());
}

void TestDisplayClient::anAppThatEndsAtOnceIsReportedWithItsReason()
{
    // The app beside the client cannot start without a display; the client
    // passes its reason on instead of waiting for it to appear.
    PrivateBus bus(m_env.root() + QStringLiteral("/bus-nodisplay"), m_env.root() + QStringLiteral("/none"));
    QProcessEnvironment env = bus.environment();
    env.remove(QStringLiteral("DISPLAY"));
    const Run r = runClient({QStringLiteral("Nowhere")}, env);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.errLines.size(), 1);
    QVERIFY2(r.errLines.first().contains(QStringLiteral("ended before it appeared on the session bus: "
                                                        "Ferrowhistle: no display: DISPLAY is not set")),
             qPrintable(r.errLines.first()));
    QCOMPARE(bus.appPid(), 0);
}

void TestDisplayClient::installedActivationFileStartsTheApp()
{
    // make install into a home of our own, with a blank in its path.
    const QString home = m_env.root() + QStringLiteral("/home dir");
    QProcess install;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    install.setProcessEnvironment(env);
    install.start(QStringLiteral(FW_SOURCE_DIR "/scripts/install-app"), {QStringLiteral(FW_BINARY_DIR)});
    QVERIFY(install.waitForFinished(120000) && install.exitCode() == 0);

    const QString installed = home + QStringLiteral("/Applications/Ferrowhistle.app/Contents/bin/Ferrowhistle");
    QFile desktop(home + QStringLiteral("/data/applications/com.copperkestrel.Ferrowhistle.desktop"));
    QVERIFY(desktop.open(QIODevice::ReadOnly));
    const QStringList entry = QString::fromUtf8(desktop.readAll()).split(QLatin1Char('\n'));
    const QString exec = QStringLiteral("Exec=\"%1\"").arg(installed);
    for (const QString &line : {exec, QStringLiteral("DBusActivatable=true"), QStringLiteral("Actions=show-test-message;settings;quit;"),
                                QStringLiteral("[Desktop Action settings]"), QStringLiteral("Name=Settings\u2026"),
                                QStringLiteral("[Desktop Action quit]"), exec + QStringLiteral(" --action quit"),
                                exec + QStringLiteral(" --action show-test-message"), exec + QStringLiteral(" --action settings")})
        QVERIFY2(entry.contains(line), qPrintable(line));

    // The start-at-login entry starts the installed copy and passes the
    // desktop's checker; the installed programs are stripped.
    const QString autostart = m_env.root() + QStringLiteral("/config/autostart/com.copperkestrel.Ferrowhistle.desktop");
    QFile autostartFile(autostart);
    QVERIFY(autostartFile.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(autostartFile.readAll()).split(QLatin1Char('\n')).contains(exec));
    const ProgramRun validate = runToEnd(QStringLiteral("desktop-file-validate"), {autostart});
    QCOMPARE(validate.out + validate.err, QString());
    QCOMPARE(validate.exitCode, 0);
    for (const QString &program : {QStringLiteral("Ferrowhistle"), QStringLiteral("ferrowhistle-display")}) {
        const ProgramRun sections = runToEnd(QStringLiteral("readelf"), {QStringLiteral("-S"), QFileInfo(installed).path() + u'/' + program});
        QVERIFY2(sections.exitCode == 0 && !sections.out.contains(QStringLiteral(".debug_info"))
                     && !sections.out.contains(QStringLiteral(".symtab")),
                 qPrintable(program));
    }

    PrivateBus bus(m_env.root() + QStringLiteral("/bus3"), home + QStringLiteral("/data/dbus-1/services"));
    QCOMPARE(bus.appPid(), 0);
    const Run r = runClient({QStringLiteral("Activated"), QStringLiteral("--duration"), QStringLiteral("1")}, bus.environment());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(!cardUp());
    // The bus started the installed copy, which put the card up only after
    // launching had finished.
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(bus.appPid())).canonicalFilePath(),
             QFileInfo(installed).canonicalFilePath());
    const QStringList log = m_env.debugLogMessages();
    const int front = lineIndex(log, QStringLiteral("ordering front"));
    QVERIFY(lineIndex(log, QStringLiteral("applicationDidFinishLaunching")) < front);
    QVERIFY(lineIndex(log, QStringLiteral("DisplayMessageIntent.perform() message=\"Activated\"")) < front);
    QVERIFY(lineIndex(log, QStringLiteral("applicationDidFinishLaunching")) >= 0);
    QVERIFY(lineIndex(log, QStringLiteral("showAndWait complete")) > front);

    // make uninstall takes the entries away with the bundle.
    const ProgramRun uninstall = runToEnd(QStringLiteral(FW_SOURCE_DIR "/scripts/uninstall-app"), {}, env);
    QCOMPARE(uninstall.exitCode, 0);
    QVERIFY(!QFileInfo::exists(autostart));
    QVERIFY(!QFileInfo::exists(desktop.fileName()));
    QVERIFY(!QFileInfo::exists(installed));
}

// make install whose registration writes the launcher entry and the
// activation file, then fails on the start-at-login entry: the install
// fails, saying why, and make uninstall still removes the two files, which
// would otherwise start a removed bundle; what was in the entry's place is
// not the install's and stays.
void TestDisplayClient::registrationFailingHalfwayIsStillUninstalled()
{
    const QString home = m_env.root() + QStringLiteral("/half home");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    const QString autostart = home + QStringLiteral("/config/autostart/com.copperkestrel.Ferrowhistle.desktop");
    const QString blocker = autostart + QStringLiteral("/kept");
    QVERIFY(QDir().mkpath(blocker));

    const ProgramRun install = runToEnd(QStringLiteral(FW_SOURCE_DIR "/scripts/install-app"), {QStringLiteral(FW_BINARY_DIR)}, env, 120000);
    QCOMPARE(install.exitCode, 1);
    QVERIFY2(install.err.contains(autostart), qPrintable(install.err));
    const QStringList written{home + QStringLiteral("/data/applications/com.copperkestrel.Ferrowhistle.desktop"),
                              home + QStringLiteral("/data/dbus-1/services/com.copperkestrel.Ferrowhistle.service")};
    for (const QString &file : written)
        QVERIFY2(QFileInfo(file).isFile(), qPrintable(file));

    const ProgramRun uninstall = runToEnd(QStringLiteral(FW_SOURCE_DIR "/scripts/uninstall-app"), {}, env);
    QVERIFY2(uninstall.exitCode == 0, qPrintable(uninstall.err));
    for (const QString &file : written)
        QVERIFY2(!QFileInfo::exists(file), qPrintable(file));
    QVERIFY(!QFileInfo::exists(home + QStringLiteral("/Applications/Ferrowhistle.app")));
    QVERIFY(QFileInfo(blocker).isDir());
}

void TestDisplayClient::staleActivationFileFallsBackToTheAppBesideIt()
{
    // An activation file left behind by a copy that has since been removed.
    const QString services = m_env.root() + QStringLiteral("/stale-services");
    QVERIFY(QDir().mkpath(services));
    QFile service(services + QStringLiteral("/com.copperkestrel.Ferrowhistle.service"));
    QVERIFY(service.open(QIODevice::WriteOnly));
    service.write("[D-BUS Service]\nName=com.copperkestrel.Ferrowhistle\nExec=/nonexistent/Ferrowhistle.app/Contents/bin/Ferrowhistle\n");
    service.close();

    PrivateBus bus(m_env.root() + QStringLiteral("/bus4"), services);
    const Run r = runClient({QStringLiteral("Stale"), QStringLiteral("--duration"), QStringLiteral("1")}, bus.environment());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(!cardUp());
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(bus.appPid())).canonicalFilePath(),
             QFileInfo(bundleProgram(QStringLiteral("Ferrowhistle"))).canonicalFilePath());
    QVERIFY(lineIndex(m_env.debugLogMessages(), QStringLiteral("show() message=\"Stale\"")) >= 0);
}

void TestDisplayClient::printsTheOutcomeOnALineOfItsOwn()
{
    PrivateBus bus(m_env.root() + QStringLiteral("/bus5"), m_env.root() + QStringLiteral("/none"));
    // Started beside it, as with the older method.
    Run r = runClient({QStringLiteral("Outcome"), QStringLiteral("--print-outcome"), QStringLiteral("--duration"),
                       QStringLiteral("0.5"), QStringLiteral("--screen"), QStringLiteral("all")},
                      bus.environment());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QStringLiteral("timeout\n"));
    QVERIFY(r.errLines.isEmpty());
    // One screen here, so "all" is one card.
    QCOMPARE(m_env.debugLogMessages().filter(QStringLiteral("ordering front: ")).size(), 1);

    // Without the option nothing is printed; a newer message makes it
    // "replaced", while its own exit status stays 0.
    r = runClient({QStringLiteral("Quiet"), QStringLiteral("--duration=0.5"), QStringLiteral("--screen=main")}, bus.environment());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QString());
    QProcess first;
    first.setProcessEnvironment(bus.environment());
    first.start(bundleProgram(QStringLiteral("ferrowhistle-display")),
                {QStringLiteral("--print-outcome"), QStringLiteral("First"), QStringLiteral("--duration"), QStringLiteral("60")});
    QVERIFY(QTest::qWaitFor([this] { return cardUp(); }, 30000));
    r = runClient({QStringLiteral("Second"), QStringLiteral("--duration"), QStringLiteral("0.5")}, bus.environment());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(first.waitForFinished(10000));
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(first.readAllStandardOutput()), QStringLiteral("replaced\n"));
}

QTEST_MAIN(TestDisplayClient)
#include "tst_DisplayClient.moc"
