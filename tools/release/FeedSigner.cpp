#include "FeedSigner.h"

#include "BundleSigner.h"
#include "GivenFile.h"

#include "codesign/CmsSignature.h"
#include "codesign/TeamSignature.h"
#include "platform/AtomicWrite.h"
#include "platform/SmallFile.h"
#include "platform/SystemError.h"
#include "release/FeedDates.h"
#include "release/PhasedRollout.h"
#include "release/Release.h"
#include "release/UpdaterFailure.h"

#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the app takes from the network, so a bigger feed could never be served.
constexpr qint64 kMaxFeedBytes = 1024 * 1024;
constexpr qint64 kMaxSignatureBytes = 64 * 1024;

QByteArray readExisting(const QString &path, qint64 maxBytes)
{
    return readGivenFile(path, maxBytes, std::to_string(maxBytes) + " bytes");
}

constexpr const char *kChannelRule = "(1 to 64 letters, digits, \".\", \"_\" and \"-\")";

QString nextFeedPath(const QString &path) { return path + QStringLiteral(".next"); }

// What a writeSignedFeed stopped half way left: a feed waiting under
// FEED.next. When FEED.sig is a signature over exactly its bytes, the
// signature was written and only the rename is missing: it is done now.
// Otherwise the write stopped before the signature and FEED with FEED.sig
// are still the pair they were: the leftover goes. Returns whether a write
// was finished.
bool finishInterruptedWrite(const QString &path)
{
    const QString next = nextFeedPath(path);
    const QByteArray nextName = QFile::encodeName(next);
    struct stat st;
    if (::lstat(nextName.constData(), &st) != 0) {
        if (errno == ENOENT)
            return false;
        throw std::runtime_error("can't read " + next.toStdString() + ": " + systemErrorText(errno).toStdString());
    }
    if (!S_ISREG(st.st_mode))
        throw std::runtime_error(next.toStdString() + " is in the way and is not a feed this tool left; move it away");
    const QByteArray waiting = readExisting(next, kMaxFeedBytes);
    const SmallFile signature = readSmallFile(path + QStringLiteral(".sig"), kMaxSignatureBytes, LastLink::Follow);
    if (signature.ok() && signerOf(signature.bytes, waiting)) {
        if (const auto problem = renameDurably(next, path))
            throw std::runtime_error("can't move " + next.toStdString() + " to " + path.toStdString() + ": "
                                     + problem->toStdString());
        return true;
    }
    if (::unlink(nextName.constData()) != 0 && errno != ENOENT)
        throw std::runtime_error("can't remove " + next.toStdString() + ": " + systemErrorText(errno).toStdString());
    return false;
}

SigningIdentity developerIdentity(const QByteArray &identityPem)
{
    SigningIdentity identity = SigningIdentity::fromPem(identityPem);
    requireDeveloperIdentity(identity);
    return identity;
}

} // namespace

qint64 requireValidDays(const QString &days)
{
    const bool digits = !days.isEmpty() && days.size() <= 3
                        && std::all_of(days.begin(), days.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const qint64 value = digits ? days.toLongLong() : 0;
    // Longer would let a frozen feed go unnoticed for more than a year.
    if (value < 1 || value > 365)
        throw std::runtime_error("\"" + days.toStdString() + "\" is not a whole number of days from 1 to 365");
    return value;
}

SignedFeedFiles signFeed(QJsonObject record, const FeedScope &scope, const QByteArray &identityPem, qint64 validDays,
                         const QDateTime &now)
{
    if (scope.identifier.isEmpty())
        throw std::runtime_error("a signed feed names the app it is for, and no bundle identifier was given");
    if (!FeedScope::isChannelName(scope.channel))
        throw std::runtime_error("\"" + scope.channel.toStdString() + "\" is not a channel name " + kChannelRule);
    const SigningIdentity identity = developerIdentity(identityPem);
    const QDateTime published = QDateTime::fromSecsSinceEpoch(now.toSecsSinceEpoch(), Qt::UTC);
    record[FeedScope::identifierKey()] = scope.identifier;
    record[FeedScope::channelKey()] = scope.channel;
    record[FeedDates::publishedKey()] = PhasedRollout::formatDate(published);
    record[FeedDates::expiresKey()] = PhasedRollout::formatDate(published.addDays(validDays));
    SignedFeedFiles files;
    files.feed = QJsonDocument(record).toJson(QJsonDocument::Indented);
    files.signature = cmsSignDetached(files.feed, identity);
    return files;
}

void writeSignedFeed(const QString &path, const SignedFeedFiles &files, const FeedWriteHook &hook)
{
    // Two files can't be replaced in one step. The feed waits whole beside
    // its name until its signature is in place, so whenever this stops the
    // next renewal finds either the old pair and a leftover, or a signature
    // that vouches for the waiting feed (finishInterruptedWrite). A copy
    // that fetches meanwhile finds a signature that does not match and tries
    // again at its next check.
    const auto perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    const QString next = nextFeedPath(path);
    if (const auto problem = writeFileAtomically(next, files.feed, perms, FolderSync::SyncFolder))
        throw std::runtime_error("can't write " + next.toStdString() + ": " + problem->toStdString());
    if (hook)
        hook(FeedWriteStep::Signature);
    const QString signaturePath = path + QStringLiteral(".sig");
    if (const auto problem = writeFileAtomically(signaturePath, files.signature, perms, FolderSync::SyncFolder))
        throw std::runtime_error("can't write " + signaturePath.toStdString() + ": " + problem->toStdString());
    if (hook)
        hook(FeedWriteStep::Rename);
    if (const auto problem = renameDurably(next, path))
        throw std::runtime_error("can't move " + next.toStdString() + " to " + path.toStdString() + ": " + problem->toStdString());
}

bool renewFeed(const QString &path, const QByteArray &identityPem, qint64 validDays, const QDateTime &now)
{
    const bool finished = finishInterruptedWrite(path);
    const QByteArray bytes = readExisting(path, kMaxFeedBytes);
    QString urlText;
    FeedScope scope;
    try {
        Release::decode(bytes, &urlText);
    } catch (const PlatformError &e) {
        throw std::runtime_error(path.toStdString() + " is not a feed the app can read: " + e.what());
    }
    if (writtenScheme(urlText) != QLatin1String("https"))
        throw std::runtime_error(path.toStdString() + " is not a feed the app can read: its \"url\" is not an https address");
    try {
        scope = FeedScope::decode(bytes);
    } catch (const PlatformError &e) {
        throw std::runtime_error(path.toStdString() + " does not say which app and channel it is for (" + e.what()
                                 + "), which copies that verify updates require; make it anew with `feed --identity`");
    }

    const QString signaturePath = path + QStringLiteral(".sig");
    const QByteArray oldSignature = readExisting(signaturePath, kMaxSignatureBytes);
    const std::optional<SignerIdentity> last = signerOf(oldSignature, bytes);
    if (!last)
        throw std::runtime_error(signaturePath.toStdString() + " is not a signature of " + path.toStdString()
                                 + " as it is now (was the feed changed after it was signed?); make it anew with "
                                   "`feed --identity`");

    const SigningIdentity identity = developerIdentity(identityPem);
    const SignerIdentity signer = signerOf(identity);
    if (signer.organizationalUnit != last->organizationalUnit)
        throw std::runtime_error(QStringLiteral("the identity's certificate (%1) is of team \"%2\", but %3 was signed by team "
                                                "\"%4\" (%5), whose copies would refuse it")
                                     .arg(signer.subject, signer.organizationalUnit, path, last->organizationalUnit, last->subject)
                                     .toStdString());
    if (signer.issuer != last->issuer)
        throw std::runtime_error(QStringLiteral("the identity's certificate (%1) was issued by %2, but %3 was signed by a "
                                                "certificate issued by %4, whose anchors the copies trust")
                                     .arg(signer.subject, signer.issuer, path, last->issuer)
                                     .toStdString());

    const QJsonObject record = QJsonDocument::fromJson(bytes).object();
    writeSignedFeed(path, signFeed(record, scope, identityPem, validDays, now));
    return finished;
}
