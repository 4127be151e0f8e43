// Where the updater finds the system's trusted authorities: each
// distribution's place in a fixed order, a place that holds nothing counts
// as absent, and without any a check fails with a sentence that says so.

#include "support/PrivateBus.h"
#include "support/ProgramRun.h"
#include "support/TestEnvironment.h"
#include "update/SystemCertificates.h"

#include <QProcess>

#include <QTemporaryDir>
#include <QtTest>

namespace {

bool put(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).path()) && f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

class tst_SystemCertificates : public QObject {
    Q_OBJECT
    TestEnvironment m_env;

private Q_SLOTS:
    void init()
    {
        qunsetenv("SSL_CERT_FILE");
        qunsetenv("SSL_CERT_DIR");
    }

    void theFirstStoreThatHoldsCertificatesWins()
    {
        QTemporaryDir root;
        const QString r = root.path();
        const auto found = [&] {
            const auto l = SystemCertificates::locate(r);
            return l ? (l->folder ? QStringLiteral("folder ") : QStringLiteral("file ")) + l->path.mid(r.size()) : QStringLiteral("none");
        };
        // A folder with no hashed name, an empty bundle: nothing to trust.
        QVERIFY(put(r + QStringLiteral("/etc/ssl/certs/README"), "not a certificate"));
        QVERIFY(put(r + QStringLiteral("/etc/ssl/ca-bundle.pem"), ""));
        QVERIFY(QDir().mkpath(r + QStringLiteral("/etc/pki/tls/certs/ca-bundle.crt"))); // a folder where a file belongs
        QCOMPARE(found(), QStringLiteral("none"));

        QVERIFY(put(r + QStringLiteral("/etc/ssl/certs/9d04f354.0"), "pem"));
        QCOMPARE(found(), QStringLiteral("folder /etc/ssl/certs"));
        QVERIFY(put(r + QStringLiteral("/etc/ssl/ca-bundle.pem"), "pem"));
        QCOMPARE(found(), QStringLiteral("file /etc/ssl/ca-bundle.pem"));
        QVERIFY(QDir(r + QStringLiteral("/etc/pki/tls/certs/ca-bundle.crt")).removeRecursively());
        QVERIFY(put(r + QStringLiteral("/etc/pki/tls/certs/ca-bundle.crt"), "pem"));
        QCOMPARE(found(), QStringLiteral("file /etc/pki/tls/certs/ca-bundle.crt"));
        QVERIFY(put(r + QStringLiteral("/etc/ssl/certs/ca-certificates.crt"), "pem"));
        QCOMPARE(found(), QStringLiteral("file /etc/ssl/certs/ca-certificates.crt"));

        // OpenSSL's own variables come first when what they name exists.
        qputenv("SSL_CERT_DIR", QFile::encodeName(r + QStringLiteral("/nowhere")));
        QCOMPARE(found(), QStringLiteral("file /etc/ssl/certs/ca-certificates.crt"));
        qputenv("SSL_CERT_DIR", QFile::encodeName(r + QStringLiteral("/etc/ssl/certs")));
        QCOMPARE(found(), QStringLiteral("folder /etc/ssl/certs"));
        qputenv("SSL_CERT_FILE", QFile::encodeName(r + QStringLiteral("/etc/ssl/ca-bundle.pem")));
        QCOMPARE(found(), QStringLiteral("file /etc/ssl/ca-bundle.pem"));
    }

    void noStoreIsASentenceNamingWhereItLooked()
    {
        QCOMPARE(SystemCertificates::noneFoundSentence(),
                 QStringLiteral("This computer has no trusted certificate authorities where they are looked for "
                                "(/etc/ssl/certs/ca-certificates.crt, /etc/pki/tls/certs/ca-bundle.crt, /etc/ssl/ca-bundle.pem, "
                                "or certificates in the folder /etc/ssl/certs), so no secure connection can be checked; "
                                "install the system's CA certificates (the ca-certificates package)."));
    }

    // The app's own check, on a system whose every store is hidden: it ends
    // with the sentence, before any connection is tried.
    void aCheckWithoutAStoreSaysSo()
    {
        if (runToEnd(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")}).exitCode != 0)
            QSKIP("a mount namespace can't be made here (needs root)");
        PrivateBus bus(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/no-services"));
        QVERIFY(bus.isRunning());
        QProcessEnvironment env = bus.environment();
        env.remove(QStringLiteral("SSL_CERT_FILE"));
        env.remove(QStringLiteral("SSL_CERT_DIR"));
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(QStringLiteral("unshare"),
                  {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                   QStringLiteral("for d in /etc/ssl /etc/pki; do if [ -d \"$d\" ]; then mount -t tmpfs tmpfs \"$d\" || exit 1; fi; done; "
                                  "exec \"$0\" --action check-for-updates"),
                   bundleProgram(QStringLiteral("Ferrowhistle"))});
        QVERIFY(app.waitForStarted());
        const auto stop = qScopeGuard([&] {
            app.terminate();
            if (!app.waitForFinished(30000))
                app.kill();
        });
        // The updater's log line, which goes to the system log and to stderr.
        const QString line = QStringLiteral("Ferrowhistle: Update check failed: ") + SystemCertificates::noneFoundSentence();
        QString said;
        QTRY_VERIFY_WITH_TIMEOUT((said += QString::fromLocal8Bit(app.readAllStandardError())).split(u'\n').contains(line)
                                     || app.state() == QProcess::NotRunning,
                                 60000);
        said += QString::fromLocal8Bit(app.readAllStandardError());
        QVERIFY2(said.split(u'\n').contains(line), qPrintable(said));
    }
};

QTEST_GUILESS_MAIN(tst_SystemCertificates)
#include "tst_SystemCertificates.moc"
