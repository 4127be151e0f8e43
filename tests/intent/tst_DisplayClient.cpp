// ferrowhistle-display as a script uses it: exit codes, its one-line reasons,
// starting the app (beside itself, or through the installed activation
// file), and Ctrl-C while it waits.
#include "app/TestMessage.h"
#include "intent/BusNames.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

const QString kCard = QStringLiteral("Ferrowhistle");

struct Run {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QStringList errLines;
};

Run runClient(const QStringList &args, const QProcessEnvironment &env, const QString &program = AppProcess::clientPath())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.errLines = QString::fromUtf8(p.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return r;
}

QProcessEnvironment withoutBus()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/fw-no-bus"));
    return env;
}

QStringList nineNames()
{
    return {QStringLiteral("center"), QStringLiteral("top"), QStringLiteral("bottom"),
            QStringLiteral("left"), QStringLiteral("right"), QStringLiteral("topLeft"),
            QStringLiteral("topRight"), QStringLiteral("bottomLeft"), QStringLiteral("bottomRight")};
}

QDBusMessage quitCall()
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                    BusNames::applicationInterface(), QStringLiteral("ActivateAction"));
    m.setArguments({BusNames::quitAction(), QVariant::fromValue(QList<QDBusVariant>{}), QVariantMap{}});
    return m;
}

int indexOfLine(const QStringList &lines, const QString &prefix)
{
    for (int i = 0; i < lines.size(); ++i)
        if (lines.at(i).startsWith(prefix))
            return i;
    return -1;
}

} // namespace

class TestDisplayClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void usageErrorsExitTwo_data();
    void usageErrorsExitTwo();
    void helpListsThePositions();
    void unreachableAppExitsOne();
    void startsTheAppBesideItselfAndCtrlCLeavesIt();
    void installedActivationFileStartsTheApp();

private:
    TestEnvironment m_env;
    X11Client m_x;
};

void TestDisplayClient::initTestCase()
{
    QVERIFY(m_x.isConnected());
    qDBusRegisterMetaType<QList<QDBusVariant>>();
}

void TestDisplayClient::init()
{
    QVERIFY(QTest::qWaitFor([&] { return m_x.mappedWindowsNamed(kCard).isEmpty(); }, 30000));
    m_env.clearDebugLog();
}

void TestDisplayClient::usageErrorsExitTwo_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("mentions");
    QTest::newRow("no message") << QStringList{} << QStringList{QStringLiteral("MESSAGE")};
    QTest::newRow("two messages") << QStringList{QStringLiteral("a"), QStringLiteral("b")}
                                  << QStringList{QStringLiteral("one MESSAGE")};
    QTest::newRow("bad position") << QStringList{QStringLiteral("hi"), QStringLiteral("--position"), QStringLiteral("top left")}
                                  << nineNames();
    QTest::newRow("bad position inline") << QStringList{QStringLiteral("--position=Center"), QStringLiteral("hi")}
                                         << nineNames();
    QTest::newRow("position without value") << QStringList{QStringLiteral("hi"), QStringLiteral("--position")}
                                            << QStringList{QStringLiteral("--position")};
    QTest::newRow("duration not a number") << QStringList{QStringLiteral("hi"), QStringLiteral("--duration"), QStringLiteral("5s")}
                                           << QStringList{QStringLiteral("--duration"), QStringLiteral("5s")};
    QTest::newRow("duration infinite") << QStringList{QStringLiteral("hi"), QStringLiteral("--duration=inf")}
                                       << QStringList{QStringLiteral("--duration")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("hi"), QStringLiteral("--colour")}
                                    << QStringList{QStringLiteral("--colour")};
}

void TestDisplayClient::usageErrorsExitTwo()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, mentions);
    const Run r = runClient(args, withoutBus());
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(!r.errLines.isEmpty());
    for (const QString &m : mentions)
        QVERIFY2(r.errLines.first().contains(m), qPrintable(r.errLines.first()));
}

void TestDisplayClient::helpListsThePositions()
{
    const Run r = runClient({QStringLiteral("--help")}, withoutBus());
    QCOMPARE(r.exitCode, 0);
    for (const QString &name : nineNames())
        QVERIFY2(r.out.contains(name), qPrintable(name));
    QVERIFY(r.out.contains(QStringLiteral("--duration")));
}

void TestDisplayClient::unreachableAppExitsOne()
{
    // No session bus at all.
    Run r = runClient({QStringLiteral("hi")}, withoutBus());
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.errLines.size(), 1);
    QVERIFY2(r.errLines.first().contains(QStringLiteral("session bus")), qPrintable(r.errLines.first()));

    // A bus, but no activation file and no app beside a copied client.
    PrivateBus bus(m_env.root() + QStringLiteral("/bus-unreachable"), m_env.root() + QStringLiteral("/no-services"));
    QVERIFY(bus.isRunning());
    const QString lonely = m_env.root() + QStringLiteral("/lonely/ferrowhistle-display");
    QDir().mkpath(QFileInfo(lonely).path());
    QVERIFY(QFile::copy(AppProcess::clientPath(), lonely));
    QVERIFY(QFile::setPermissions(lonely, QFile::ReadOwner | QFile::ExeOwner));
    r = runClient({QStringLiteral("hi")}, bus.environment(), lonely);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.errLines.size(), 1);
    QVERIFY2(r.errLines.first().contains(QFileInfo(lonely).path() + QStringLiteral("/Ferrowhistle")),
             qPrintable(r.errLines.first()));
}

void TestDisplayClient::startsTheAppBesideItselfAndCtrlCLeavesIt()
{
    PrivateBus bus(m_env.root() + QStringLiteral("/bus-beside"), m_env.root() + QStringLiteral("/no-services"));
    QVERIFY(bus.isRunning());
    QElapsedTimer clock;
    clock.start();
    const Run r = runClient({QStringLiteral("Started beside"), QStringLiteral("--duration"), QStringLiteral("1")},
                            bus.environment());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.errLines.isEmpty());
    QVERIFY(clock.elapsed() >= 1600);
    QVERIFY(m_x.mappedWindowsNamed(kCard).isEmpty());
    const qint64 app = bus.ownerPid(BusNames::service());
    QVERIFY(app > 0);
    QVERIFY(indexOfLine(m_env.debugLogMessages(), QStringLiteral("show() message=\"Started beside\"")) >= 0);

    // Ctrl-C reaches the terminal's whole foreground group: the client's.
    QProcess client;
    client.setProcessEnvironment(bus.environment());
    client.setChildProcessModifier([] { ::setpgid(0, 0); });
    client.start(AppProcess::clientPath(), {QStringLiteral("Interrupted"), QStringLiteral("--duration"), QStringLiteral("20")});
    QVERIFY(client.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return !m_x.mappedWindowsNamed(kCard).isEmpty(); }, 30000));
    ::kill(-static_cast<pid_t>(client.processId()), SIGINT);
    QVERIFY(client.waitForFinished(10000));
    QCOMPARE(client.exitStatus(), QProcess::CrashExit);
    // The app did not go with it and still shows the message.
    QCOMPARE(bus.ownerPid(BusNames::service()), app);
    QVERIFY(!m_x.mappedWindowsNamed(kCard).isEmpty());
    terminatePid(app);
    QVERIFY(bus.waitForNoOwner(BusNames::service()));
}

void TestDisplayClient::installedActivationFileStartsTheApp()
{
    // make install into a home of our own (with a blank in its path).
    const QString home = m_env.root() + QStringLiteral("/home dir");
    const QString data = home + QStringLiteral("/data");
    QProcess install;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), data);
    install.setProcessEnvironment(env);
    install.setProcessChannelMode(QProcess::ForwardedChannels);
    install.start(QStringLiteral(FW_SOURCE_DIR "/scripts/install-app"), {QStringLiteral(FW_BINARY_DIR)});
    QVERIFY(install.waitForFinished(120000));
    QCOMPARE(install.exitCode(), 0);

    const QString installedApp = home + QStringLiteral("/Applications/Ferrowhistle.app/Contents/bin/Ferrowhistle");
    QFile desktop(data + QStringLiteral("/applications/com.copperkestrel.Ferrowhistle.desktop"));
    QVERIFY(desktop.open(QIODevice::ReadOnly));
    const QStringList entry = QString::fromUtf8(desktop.readAll()).split(QLatin1Char('\n'));
    const QString quotedExec = QStringLiteral("Exec=\"") + installedApp + QLatin1Char('"');
    QVERIFY(entry.contains(quotedExec));
    QVERIFY(entry.contains(QStringLiteral("DBusActivatable=true")));
    QVERIFY(entry.contains(QStringLiteral("Actions=show-test-message;quit;")));
    QVERIFY(entry.contains(QStringLiteral("[Desktop Action show-test-message]")));
    QVERIFY(entry.contains(QStringLiteral("[Desktop Action quit]")));
    QVERIFY(entry.contains(quotedExec + QStringLiteral(" --test-message \"") + testMessageText() + QLatin1Char('"')));

    PrivateBus bus(m_env.root() + QStringLiteral("/bus-activation"), data + QStringLiteral("/dbus-1/services"));
    QVERIFY(bus.isRunning());
    QCOMPARE(bus.ownerPid(BusNames::service()), 0);
    const Run r = runClient({QStringLiteral("Activated"), QStringLiteral("--duration"), QStringLiteral("1")},
                            bus.environment());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(m_x.mappedWindowsNamed(kCard).isEmpty());

    // The bus started the installed copy, which showed the message only
    // after launching had finished.
    const qint64 app = bus.ownerPid(BusNames::service());
    QVERIFY(app > 0);
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(app)).canonicalFilePath(),
             QFileInfo(installedApp).canonicalFilePath());
    const QStringList log = m_env.debugLogMessages();
    const int launched = indexOfLine(log, QStringLiteral("applicationDidFinishLaunching"));
    const int perform = indexOfLine(log, QStringLiteral("DisplayMessageIntent.perform() message=\"Activated\""));
    const int front = indexOfLine(log, QStringLiteral("ordering front"));
    QVERIFY(launched >= 0 && perform >= 0);
    QVERIFY(front > launched);
    QVERIFY(front > perform);
    QVERIFY(indexOfLine(log, QStringLiteral("showAndWait complete")) > front);

    QCOMPARE(bus.connection().call(quitCall()).type(), QDBusMessage::ReplyMessage);
    QVERIFY(bus.waitForNoOwner(BusNames::service()));
}

QTEST_MAIN(TestDisplayClient)
#include "tst_DisplayClient.moc"
