// The relaunch waits for the old process, then starts the bundle's program
// with the path as it is, whatever it holds.
#include "location/Relaunch.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

class tst_Relaunch : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
private Q_SLOTS:
    void commandSurvivesAnyPath();
};

void tst_Relaunch::commandSurvivesAnyPath()
{
    // The path travels as $0: spaces, quotes, "$" and backquotes in it reach
    // the new process unchanged, once the old process has gone.
    const QString folder = m_env.root() + QStringLiteral("/My Apps $HOME 'q' \"d\" `x`");
    const QString bundle = folder + QStringLiteral("/Ferrowhistle $1.app");
    const QString marker = m_env.root() + QStringLiteral("/relaunched");
    QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Contents/bin")));
    const QString exe = bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    {
        QFile script(exe);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s' \"$0\" > '" + QFile::encodeName(marker) + "'\n");
    }
    ::chmod(QFile::encodeName(exe).constData(), 0755);

    QProcess old;
    old.start(QStringLiteral("/bin/sleep"), {QStringLiteral("0.5")});
    QVERIFY(old.waitForStarted());
    const QStringList command = Relauncher::command(old.processId(), bundle);
    QCOMPARE(command.mid(0, 2), (QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c")}));
    QVERIFY(!command.at(2).contains(bundle));
    QVERIFY(QProcess::startDetached(command.at(0), command.mid(1)));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 30000);
    QCOMPARE(old.state(), QProcess::NotRunning); // not before the old one ended
    QFile written(marker);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(written.readAll()), exe);
}

QTEST_GUILESS_MAIN(tst_Relaunch)
#include "tst_Relaunch.moc"
