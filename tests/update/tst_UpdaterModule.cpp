// The updater as a module of the bundle: the app's executable loads none of
// the updater's libraries, and a copy whose module is missing or damaged
// says so in one line and ends with status 1 instead of running on without
// its updater.
#include "platform/CopyTree.h"
#include "support/PrivateBus.h"
#include "support/ProgramRun.h"
#include "support/TestEnvironment.h"
#include "update/UpdaterModule.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

namespace {

const QStringList kUpdaterOnly = {QStringLiteral("libQt6Network"), QStringLiteral("libcurl"), QStringLiteral("libcrypto"),
                                  QStringLiteral("libssl"), QStringLiteral("libarchive")};

QString sharedLibraries(const QString &file)
{
    const ProgramRun ldd = runToEnd(QStringLiteral("ldd"), {file});
    return ldd.exitCode == 0 ? ldd.out : QString();
}

} // namespace

class TestUpdaterModule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void appLoadsNoneOfTheUpdatersLibraries();
    void missingModuleFailsAtStart();
    void damagedModuleEndsTheProcessWithOneLine();

private:
    // A copy of the built bundle whose module the test may break.
    QString copyOfBundle();
    ProgramRun run(const QString &bundle, const QStringList &args);

    TestEnvironment m_env;
    std::unique_ptr<PrivateBus> m_bus;
};

void TestUpdaterModule::initTestCase()
{
    // A bus of the test's own: the copies must not reach an instance.
    m_bus = std::make_unique<PrivateBus>(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/none"));
    QVERIFY(m_bus->isRunning());
}

QString TestUpdaterModule::copyOfBundle()
{
    const QString copy = m_env.root() + QStringLiteral("/copy ") + QString::number(QDateTime::currentMSecsSinceEpoch())
                         + QStringLiteral("/Ferrowhistle.app");
    QDir().mkpath(QFileInfo(copy).path());
    copyTree(QStringLiteral(FW_BUNDLE_DIR), copy);
    return copy;
}

ProgramRun TestUpdaterModule::run(const QString &bundle, const QStringList &args)
{
    return runToEnd(bundle + QStringLiteral("/Contents/bin/Ferrowhistle"), args, m_bus->environment());
}

void TestUpdaterModule::appLoadsNoneOfTheUpdatersLibraries()
{
    const QString app = sharedLibraries(bundleProgram(QStringLiteral("Ferrowhistle")));
    const QString module = sharedLibraries(UpdaterModule::pathIn(QStringLiteral(FW_BUNDLE_DIR)));
    QVERIFY(app.contains(QStringLiteral("libQt6Widgets")));
    for (const QString &library : kUpdaterOnly) {
        QVERIFY2(module.contains(library), qPrintable(library));
        QVERIFY2(!app.contains(library), qPrintable(library + QStringLiteral(" is loaded at start:\n") + app));
    }
}

void TestUpdaterModule::missingModuleFailsAtStart()
{
    const QString bundle = copyOfBundle();
    const QString module = UpdaterModule::pathIn(bundle);
    QVERIFY(QFile::remove(module));
    const ProgramRun r = run(bundle, {QStringLiteral("--test-message"), QStringLiteral("never shown")});
    QVERIFY(!r.crashed);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.err, QStringLiteral("Ferrowhistle: Couldn't open %1: No such file or directory.\n").arg(module));
    QCOMPARE(m_bus->appPid(), 0);
}

void TestUpdaterModule::damagedModuleEndsTheProcessWithOneLine()
{
    const QString bundle = copyOfBundle();
    const QString module = UpdaterModule::pathIn(bundle);
    QFile file(module);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("not a shared object");
    file.close();
    const QString prefix = QStringLiteral("Ferrowhistle: Couldn't load the updater from %1: ").arg(module);
    auto checkOneLine = [&](const ProgramRun &r) {
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 1);
        // Qt may warn of its own; the app says one thing.
        const QStringList ours = r.err.split(u'\n').filter(QRegularExpression(QStringLiteral("^Ferrowhistle: ")));
        QVERIFY2(ours.size() == 1 && ours.first().startsWith(prefix), qPrintable(r.err));
        QCOMPARE(m_bus->appPid(), 0);
    };
    // It starts, takes the bus name, then fails when it loads the updater.
    checkOneLine(run(bundle, {}));

    // Where the journal's socket is there but nothing listens (a container,
    // a stopped journald), the line is still said once: made so in a mount
    // namespace of its own, with a socket file nobody is bound to.
    const QString script = QStringLiteral(
        "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal && "
        "python3 -c 'import socket; socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).bind(\"/run/systemd/journal/socket\")' && "
        "exec \"$0\"");
    const ProgramRun probe = runToEnd(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")});
    if (probe.exitCode != 0)
        QSKIP("a mount namespace can't be made here (needs root)");
    checkOneLine(runToEnd(QStringLiteral("unshare"),
                          {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                           bundle + QStringLiteral("/Contents/bin/Ferrowhistle")},
                          m_bus->environment()));
}

QTEST_GUILESS_MAIN(TestUpdaterModule)
#include "tst_UpdaterModule.moc"
