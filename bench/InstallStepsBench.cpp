// Times one step of the install pipeline as the app runs it, for
// bench/install.sh to set against the usual tool for the same job:
//   sha256 FILE            the archive digest (against openssl dgst)
//   unzip ZIP DEST         the safe unzip (against bsdtar -xf)
//   download URL FILE CA   the streamed download (against curl)
// Prints the seconds taken, and for download also the peak RSS growth in KiB.
#include "update/NetworkSession.h"
#include "update/install/ArchiveDigest.h"
#include "update/install/Download.h"
#include "update/install/SafeUnzip.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <cstdio>
#include <exception>

#include <sys/resource.h>

namespace {

long peakRssKiB()
{
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

QCoro::Task<> download(QUrl url, QString file, bool &done, QString &error)
{
    try {
        NetworkSession::Limits limits;
        limits.inactivity = std::chrono::seconds(120);
        limits.overall = std::chrono::minutes(30);
        limits.maxBytes = 209715200;
        auto transfer = downloadToFile(NetworkSession::shared(), std::move(url), std::move(file), limits);
        const NetworkSession::Response r = co_await std::move(transfer);
        if (r.statusCode.value_or(0) != 200)
            error = QStringLiteral("HTTP %1").arg(r.statusCode.value_or(0));
    } catch (const std::exception &e) {
        error = QString::fromUtf8(e.what());
    }
    done = true;
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() < 3) {
        std::fprintf(stderr, "usage: %s sha256 FILE | unzip ZIP DEST | download URL FILE CA\n", argv[0]);
        return 2;
    }
    QElapsedTimer t;
    try {
        if (a[1] == QLatin1String("sha256")) {
            t.start();
            sha256HexOfFile(a[2]);
        } else if (a[1] == QLatin1String("unzip") && a.size() == 4) {
            t.start();
            safeUnzip(a[2], a[3]);
        } else if (a[1] == QLatin1String("download") && a.size() == 5) {
            QSslConfiguration c = QSslConfiguration::defaultConfiguration();
            c.addCaCertificates(QSslCertificate::fromPath(a[4]));
            QSslConfiguration::setDefaultConfiguration(c);
            const long before = peakRssKiB();
            bool done = false;
            QString error;
            t.start();
            download(QUrl(a[2]), a[3], done, error);
            if (!done)
                app.exec();
            if (!error.isEmpty()) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
            std::printf("%.4f %ld\n", double(t.nsecsElapsed()) / 1e9, peakRssKiB() - before);
            return 0;
        } else {
            return 2;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("%.4f\n", double(t.nsecsElapsed()) / 1e9);
    return 0;
}
