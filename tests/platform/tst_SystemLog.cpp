// Lines for the system log when there is no journal to take them: they go
// to stderr with the identifier instead of vanishing.
#include "platform/SystemLog.h"

#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

class TestSystemLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void withoutJournalTheLineGoesToStderr();
};

void TestSystemLog::withoutJournalTheLineGoesToStderr()
{
    if (QFile::exists(QStringLiteral("/run/systemd/journal/socket")))
        QSKIP("a journal runs on this machine; the fallback is only taken without one");

    QTemporaryFile captured;
    QVERIFY(captured.open());
    const int saved = ::dup(STDERR_FILENO);
    QVERIFY(saved >= 0);
    QVERIFY(::dup2(captured.handle(), STDERR_FILENO) >= 0);
    systemLog({QStringLiteral("com.copperkestrel.Ferrowhistle"), QStringLiteral("updater"),
               QStringLiteral("Update check failed: 100% of nothing %s")});
    systemLog({QStringLiteral("com.copperkestrel.Ferrowhistle"), QStringLiteral("updater"),
               QStringLiteral("Update available: 2.0 (49)")});
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    QFile reread(captured.fileName());
    QVERIFY(reread.open(QIODevice::ReadOnly));
    QCOMPARE(reread.readAll(), QByteArray("Ferrowhistle: Update check failed: 100% of nothing %s\n"
                                          "Ferrowhistle: Update available: 2.0 (49)\n"));
}

QTEST_GUILESS_MAIN(TestSystemLog)
#include "tst_SystemLog.moc"
