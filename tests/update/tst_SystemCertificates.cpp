// Where the updater finds the system's trusted authorities: each
// distribution's place in a fixed order, a place that holds nothing counts
// as absent, and without any the answer is a sentence that says so.

#include "update/SystemCertificates.h"

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
};

QTEST_GUILESS_MAIN(tst_SystemCertificates)
#include "tst_SystemCertificates.moc"
