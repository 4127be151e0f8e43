// Makes the releases the tests share, once per run (CTest fixture setups):
//   fw_test_releases keys      the identities and build 500, PREVIOUS of the release
//   fw_test_releases release   build 501 (TestReleases::release)
//   fw_test_releases delta     build 501 with a delta from a release 500
//                              made of the first (after it)
// Each starts from nothing, so nothing of an earlier run is ever taken for
// this one's; a failure prints what `make release` said and exits 1, and
// CTest then runs none of the tests that need it.
#include "TestReleases.h"

#include "../codesign/SigningFixture.h"

#include "BundleSigner.h"
#include "support/ProgramRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <stdexcept>

#include <sys/stat.h>

namespace {

void fail(const QString &why)
{
    throw std::runtime_error(why.toStdString());
}

// A fresh folder: what an earlier run left there goes first.
void startAfresh(const QString &path)
{
    if (QFileInfo::exists(path) && !QDir(path).removeRecursively())
        fail(path + QStringLiteral(": can't remove what an earlier run left"));
    if (!QDir().mkpath(path))
        fail(path + QStringLiteral(": can't make it"));
}

void checkLoaded(const SigningFixture &f)
{
    if (!f.loadError().isEmpty())
        fail(f.loadError());
}

void makeRelease(const QString &build, const QString &out, const QProcessEnvironment &env, const QString &summary)
{
    const ProgramRun made = runToEnd(QStringLiteral(FW_SOURCE_DIR "/scripts/make-release"), {build, out}, env, 800000);
    std::fputs(qPrintable(made.out), stdout);
    std::fputs(qPrintable(made.err), stderr);
    if (made.exitCode != 0)
        fail(QStringLiteral("make release into %1 failed (status %2)").arg(out).arg(made.exitCode));
    if (!summary.isEmpty())
        writeBytes(summary, made.out.toUtf8());
}

void keys()
{
    startAfresh(TestReleases::folder());
    const SigningFixture f;
    f.save(TestReleases::keys());
    TestReleases::writeKeys(f, TestReleases::keys());
    if (f.signedCopyOfApp(QFileInfo(TestReleases::previous()).path(), 500).isEmpty())
        fail(QStringLiteral("can't make build 500 from the built bundle"));
}

void release()
{
    const SigningFixture f(TestReleases::keys());
    checkLoaded(f);
    startAfresh(TestReleases::releaseBuild());
    QDir(TestReleases::release()).removeRecursively();
    if (f.prebuiltReleaseFolder(TestReleases::releaseBuild(), 501).isEmpty())
        fail(QStringLiteral("can't copy the built bundle"));
    QProcessEnvironment env = TestReleases::inputs(TestReleases::keys(),
                                                   QLatin1String(TestReleases::kDownloads) + QStringLiteral("Ferrowhistle-1.0.0-501.zip"));
    env.insert(QStringLiteral("PREVIOUS"), TestReleases::previous());
    env.insert(QStringLiteral("NOTES"), QStringLiteral("Fewer bugs."));
    env.insert(QStringLiteral("FEED_VALID_DAYS"), QStringLiteral("10"));
    makeRelease(TestReleases::releaseBuild(), TestReleases::release(), env, TestReleases::releaseSummary());
}

void delta()
{
    const SigningFixture f(TestReleases::keys());
    checkLoaded(f);
    // The earlier release: the shared one as build 500, so that it carries
    // the same libraries and the delta holds what changed, as between two
    // releases users get.
    const QString earlier = QFileInfo(TestReleases::deltaBase()).path();
    startAfresh(QFileInfo(earlier).path());
    QDir(TestReleases::deltaRelease()).removeRecursively();
    if (!QDir().mkpath(earlier)
        || runToEnd(QStringLiteral("cp"), {QStringLiteral("-a"), TestReleases::release() + QStringLiteral("/Ferrowhistle.app"), earlier + u'/'})
                   .exitCode != 0)
        fail(QStringLiteral("can't copy the release into ") + earlier);
    const QString base = TestReleases::deltaBase();
    const QString plist = base + QStringLiteral("/Contents/Info.plist");
    const QByteArray info = readBytes(plist);
    const QByteArray build = "<key>CFBundleVersion</key>\n\t<string>501</string>";
    if (!info.contains(build))
        fail(plist + QStringLiteral(": no CFBundleVersion 501"));
    writeBytes(plist, QByteArray(info).replace(build, "<key>CFBundleVersion</key>\n\t<string>500</string>"));
    QDir(base + QStringLiteral("/Contents/_CodeSignature")).removeRecursively();
    signBundle(base, f.developer.identityPem());
    notarizeBundle(base, f.notary.identityPem());

    const QString folder = TestReleases::folder() + QStringLiteral("/build-delta");
    startAfresh(folder);
    if (f.prebuiltReleaseFolder(folder, 501).isEmpty())
        fail(QStringLiteral("can't copy the built bundle"));
    // Beside the new build number: a new file and a changed mode.
    writeBytes(folder + QStringLiteral("/Ferrowhistle.app/Contents/Resources/added-in-501.txt"), "new\n");
    if (::chmod(QFile::encodeName(folder + QStringLiteral("/Ferrowhistle.app/Contents/Resources/build-info.json")).constData(), 0600) != 0)
        fail(QStringLiteral("can't change the mode of build-info.json"));
    QProcessEnvironment env = TestReleases::inputs(TestReleases::keys(),
                                                   QLatin1String(TestReleases::kDownloads) + QStringLiteral("dl/Ferrowhistle-1.0.0-501.zip"));
    env.insert(QStringLiteral("PREVIOUS"), base);
    env.insert(QStringLiteral("PREVIOUS_RELEASES"), TestReleases::deltaPreviousReleases());
    makeRelease(folder, TestReleases::deltaRelease(), env, {});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString what = argc == 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    try {
        if (what == QLatin1String("keys"))
            keys();
        else if (what == QLatin1String("release"))
            release();
        else if (what == QLatin1String("delta"))
            delta();
        else {
            std::fputs("usage: fw_test_releases keys|release|delta\n", stderr);
            return 2;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "fw_test_releases %s: %s\n", qPrintable(what), e.what());
        return 1;
    }
    return 0;
}
