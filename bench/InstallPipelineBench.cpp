// Times one whole install as the app runs it, for bench/install-pipeline.sh:
// the updater's own install of a release (download over HTTPS, size and
// digest checks, the safe unzip, the signature, the assessment tool, the
// identifier and build check, the swap and the removal of the old copy),
// ending where the updater hands over to the relaunch.
//
//   fw-bench-install-pipeline BUNDLE URL SHA256 BUILD CA
//
// BUNDLE is the installed copy that is replaced, URL the release archive,
// BUILD the build it holds, CA the server's certificate. Prints the seconds
// until the swap was done and until the hand-over. The installed copy is
// removed before exiting, so the relaunch started by the install finds
// nothing to start.
#include "platform/Bundle.h"
#include "platform/DefaultsStore.h"
#include "platform/RemoveTree.h"
#include "platform/SystemLog.h"
#include "update/Updater.h"
#include "location/InstallLocations.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <qcoro/qcorotimer.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() != 6) {
        std::fprintf(stderr, "usage: %s BUNDLE URL SHA256 BUILD CA\n", argv[0]);
        return 2;
    }
    const QString bundle = a[1];
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(a[5]));
    QSslConfiguration::setDefaultConfiguration(tls);

    QElapsedTimer t;
    qint64 swappedAt = -1;
    qint64 endedAt = -1;
    setSystemLogSink([&](const SystemLogEntry &e) {
        if (e.message.startsWith(QLatin1String("Installed update")))
            swappedAt = t.nsecsElapsed();
    });

    Updater::Environment env;
    env.bundle = Bundle::atPath(bundle);
    // A settings file of its own that is never written: the user's stays untouched.
    env.defaults = DefaultsStore(InstallLocations::parentFolder(bundle) + QStringLiteral("/.bench-settings"));
    env.sleep = [](std::chrono::milliseconds) -> QCoro::Task<> { co_await QCoro::sleepFor(std::chrono::hours(1)); };
    env.terminate = [&] {
        endedAt = t.nsecsElapsed();
        QCoreApplication::quit();
    };
    Updater updater(std::move(env));
    QString failure;
    QObject::connect(&updater, &Updater::changed, &app, [&] {
        if (updater.state().kind() == Updater::State::Kind::failed) {
            failure = updater.state().text();
            QCoreApplication::quit();
        }
    });

    Updater::Release release;
    release.version = QStringLiteral("bench");
    release.build = a[4].toLongLong();
    release.url = QUrl(a[2]);
    release.sha256 = a[3];
    t.start();
    updater.install(release);
    app.exec();

    const QString installedBuild = Bundle::atPath(bundle).infoString(QStringLiteral("CFBundleVersion")).value_or(QString());
    removeTree(bundle);
    if (!failure.isEmpty() || endedAt < 0 || swappedAt < 0) {
        std::fprintf(stderr, "install failed: %s\n", qPrintable(failure.isEmpty() ? QStringLiteral("did not finish") : failure));
        return 1;
    }
    if (installedBuild != a[4]) {
        std::fprintf(stderr, "install ended with build %s in place, not %s\n", qPrintable(installedBuild), qPrintable(a[4]));
        return 1;
    }
    std::printf("%.4f %.4f\n", double(swappedAt) / 1e9, double(endedAt) / 1e9);
    return 0;
}
