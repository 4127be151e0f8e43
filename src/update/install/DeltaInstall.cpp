// The delta path of an install: when the feed offers a delta from this build
// and the running copy still matches its seal, the candidate is made from a
// copy of the running bundle and the delta, and then judged by the same
// checks as an unpacked archive. Nothing here fails an install: whatever
// goes wrong is logged in one line and the whole archive is downloaded.
#include "update/Updater.h"

#include "codesign/BundleDelta.h"
#include "codesign/BundleSeal.h"
#include "codesign/CodeResources.h"
#include "location/InstallLocations.h"
#include "platform/CopyTree.h"
#include "platform/RemoveTree.h"
#include "platform/SystemError.h"
#include "platform/Worker.h"
#include "update/install/ArchiveDigest.h"
#include "update/install/Download.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>

#include <sys/stat.h>

namespace {

constexpr QChar kEllipsis(0x2026);

// Why the delta was not used; completes "Installing from the whole archive: ".
struct DeltaUnusable {
    QString reason;
};

// The running copy's resource list digest, once its disk matches the list.
// The list is the running copy's own file, read by the rules for it; what
// the delta makes of the copy is judged as a download.
QByteArray sealedDigest(const QString &bundlePath)
{
    const BundleSeal::SignedList signedList = BundleSeal::readOwnSigned(bundlePath, BundleSeal::kSignatureFile);
    if (!signedList.list)
        throw DeltaUnusable{QStringLiteral("the installed copy isn't sealed")};
    const CodeResources list = CodeResources::parse(*signedList.list);
    if (const std::optional<QString> why = BundleSeal::check(bundlePath, list))
        throw DeltaUnusable{QStringLiteral("the installed copy doesn't match its seal (%1)").arg(*why)};
    return QCryptographicHash::hash(*signedList.list, QCryptographicHash::Sha256);
}

} // namespace

QCoro::Task<QString> Updater::candidateFromDelta(Release release, QString work, QString destination, QString name,
                                                 NetworkSession::Limits limits, qint64 maxBytesMade)
{
    using namespace InstallLocations;
    // A feed without deltas (or an older one) has no delta path to try.
    if (release.deltas.empty())
        co_return QString();
    QPointer<Updater> self(this);
    const QString bundlePath = m_env.bundle.path();
    const qint64 build = currentBuild();
    const QString deltaPath = work + QStringLiteral("/update.delta");
    const QString downloading = QStringLiteral("Downloading ") + release.version + kEllipsis;
    QString staging;
    QString reason;
    bool checking = false;
    try {
        const ReleaseDelta *offered = deltaFromBuild(release.deltas, build);
        if (!offered)
            throw DeltaUnusable{QStringLiteral("no delta from build %1 is offered").arg(build)};
        const ReleaseDelta delta = *offered;
        if (delta.length > limits.maxBytes)
            throw DeltaUnusable{QStringLiteral("the delta is larger (%1 bytes) than a download may be").arg(delta.length)};

        // Only a copy exactly as sealed can be patched; a stripped or edited
        // one is seen here, before anything is downloaded.
        auto sealing = onWorker([bundlePath] {
            try {
                return sealedDigest(bundlePath);
            } catch (const SealError &e) {
                throw DeltaUnusable{QStringLiteral("the installed copy's seal can't be read (%1)").arg(e.description())};
            }
        });
        const QByteArray runningDigest = co_await std::move(sealing);
        if (!self)
            co_return QString();

        // The delta, within its published length.
        NetworkSession::Limits deltaLimits = limits;
        deltaLimits.maxBytes = delta.length;
        auto download = downloadToFile(session(), delta.url, deltaPath, deltaLimits);
        const NetworkSession::Response response = co_await std::move(download);
        if (!self)
            co_return QString();
        const int status = response.statusCode.value_or(0);
        if (status != 200)
            throw DeltaUnusable{QStringLiteral("the delta's download failed (HTTP %1)").arg(status)};
        if (response.outcome != NetworkSession::Response::Outcome::Complete)
            throw DeltaUnusable{QStringLiteral("the delta's download didn't complete")};
        struct stat st;
        if (::stat(QFile::encodeName(deltaPath).constData(), &st) != 0 || qint64(st.st_size) != delta.length)
            throw DeltaUnusable{QStringLiteral("the delta isn't its published length of %1 bytes").arg(delta.length)};

        setState(State::installing(QStringLiteral("Checking the download") + kEllipsis));
        checking = true;
        auto hashing = onWorker([deltaPath] { return sha256HexOfFile(deltaPath); });
        const QString digest = co_await std::move(hashing);
        if (!self)
            co_return QString();
        if (digest != delta.sha256.toLower())
            throw DeltaUnusable{QStringLiteral("the delta doesn't match its published checksum")};

        // Made beside the bundle, on the file system it replaces, from a
        // copy of the running bundle: the copy that runs is never written.
        staging = destination + u'/' + kStagingPrefix + newUuidText();
        m_ownFolders.insert(staging);
        DeltaLimits made;
        made.maxFileBytes = limits.maxBytes;
        made.maxTotalBytes = maxBytesMade;
        auto applying = onWorker([deltaPath, runningDigest, build, staging, bundlePath, name, made] {
            const DeltaHeader header = BundleDelta::readHeader(deltaPath);
            if (header.fromDigest != runningDigest)
                throw DeltaUnusable{QStringLiteral("the delta was made for another copy of build %1").arg(build)};
            if (::mkdir(QFile::encodeName(staging).constData(), 0700) != 0)
                throw CopyError(systemErrorText(errno), staging);
            copyTree(bundlePath, staging + u'/' + name);
            BundleDelta::apply(deltaPath, staging + u'/' + name, made);
        });
        co_await std::move(applying);
        if (!self)
            co_return QString();
        log(QStringLiteral("Made the update from the delta for build %1 (%2 bytes)").arg(build).arg(delta.length));
        co_return staging;
    } catch (const DeltaUnusable &e) {
        reason = e.reason;
    } catch (const DeltaError &e) {
        reason = QStringLiteral("the delta ") + e.description();
    } catch (const CopyError &e) {
        reason = QStringLiteral("the installed copy couldn't be copied (%1: %2)").arg(e.path(), e.description());
    } catch (...) {
        reason = localizedDescription(std::current_exception());
    }
    // What the delta path made goes; the archive starts afresh.
    auto removal = onWorker([staging, deltaPath] {
        if (!staging.isEmpty())
            removeTree(staging);
        QFile::remove(deltaPath);
    });
    co_await std::move(removal);
    if (!self)
        co_return QString();
    m_ownFolders.remove(staging);
    log(QStringLiteral("Installing from the whole archive: ") + reason);
    if (checking)
        setState(State::installing(downloading));
    co_return QString();
}
