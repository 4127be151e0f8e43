#include "update/SignedFeed.h"

#include "codesign/CodeSigning.h"
#include "codesign/TeamSignature.h"
#include "platform/Worker.h"
#include "release/PhasedRollout.h"
#include "update/ReleaseFeed.h"
#include "update/SigningFailure.h"

namespace SignedFeed {

namespace {

QCoro::Task<QByteArray> fetchSignature(NetworkSession &session, QUrl url, QByteArray userAgent,
                                       NetworkSession::Limits limits)
{
    limits.maxBytes = kMaxSignatureBytes;
    return ReleaseFeed::fetchFeedBytes(session, std::move(url), std::move(userAgent), limits,
                                       QStringLiteral("The update feed's signature"));
}

// Why the signature does not vouch for the feed, or nothing when it does;
// and the running copy's bundle identifier, which the feed must name. On a
// worker: the running copy's anchors, signature and Info.plist are files.
struct Verdict {
    std::optional<CodeSigningError> problem;
    std::optional<QString> identifier;
};
Verdict verify(const QByteArray &feed, const QByteArray &signature, const Bundle &running)
{
    Verdict verdict;
    try {
        verifyTeamSignature(feed, signature, running);
    } catch (const CodeSigningError &e) {
        verdict.problem = e;
        return verdict;
    }
    verdict.identifier = running.identifier();
    return verdict;
}

} // namespace

QUrl signatureURL(const QUrl &feedURL)
{
    // Beside the feed whatever its query: the path names the file.
    QUrl url = feedURL;
    url.setPath(feedURL.path(QUrl::FullyEncoded) + QStringLiteral(".sig"), QUrl::StrictMode);
    return url;
}

void judgeScope(const FeedScope &scope, const QString &identifier, const QString &channel)
{
    if (scope.identifier != identifier)
        throw Refused(QStringLiteral("The update feed is for another app (%1), so it wasn't used.").arg(scope.identifier),
                      QStringLiteral("signed for %1, not %2").arg(scope.identifier, identifier));
    if (scope.channel != channel)
        throw Refused(QStringLiteral("The update feed is for the \"%1\" channel, not \"%2\", so it wasn't used.").arg(scope.channel, channel),
                      QStringLiteral("signed for the channel %1, not %2").arg(scope.channel, channel));
}

void judgeDates(const FeedDates &dates, const QDateTime &now, const std::optional<QDateTime> &newestAccepted)
{
    using PhasedRollout::formatDate;
    const QString found = QStringLiteral("published %1, expires %2, this computer's clock says %3")
                              .arg(formatDate(dates.published), formatDate(dates.expires), formatDate(now.toUTC()));
    if (now >= dates.expires)
        throw Refused(QStringLiteral("The update feed expired at %1, so it wasn't used.").arg(formatDate(dates.expires)),
                      QStringLiteral("expired (%1)").arg(found));
    if (dates.published.secsTo(now) < -kFutureAllowanceSeconds)
        throw Refused(QStringLiteral("The update feed is dated %1, more than a day ahead of this computer's clock, so it wasn't used.")
                          .arg(formatDate(dates.published)),
                      QStringLiteral("published in the future (%1)").arg(found));
    if (newestAccepted && dates.published < *newestAccepted)
        throw Refused(QStringLiteral("The update feed is older than one this computer already had (published %1, not %2 or later), so it wasn't used.")
                          .arg(formatDate(dates.published), formatDate(newestAccepted->toUTC())),
                      QStringLiteral("older than the newest accepted, published %1 (%2)")
                          .arg(formatDate(newestAccepted->toUTC()), found));
}

QCoro::Task<Release> fetchRelease(NetworkSession &session, QUrl feedURL, QByteArray userAgent,
                                  NetworkSession::Limits limits, Trust trust)
{
    auto deciding = onWorker([running = trust.running] { return canVerifyUpdates(running); });
    const bool signedFeed = co_await std::move(deciding);

    auto fetchingFeed = ReleaseFeed::fetchFeedBytes(session, feedURL, userAgent, limits);
    const QByteArray feed = co_await std::move(fetchingFeed);
    if (!signedFeed)
        co_return ReleaseFeed::releaseFromFeed(feed);

    const QUrl sigURL = signatureURL(feedURL);
    auto fetchingSignature = fetchSignature(session, sigURL, userAgent, limits);
    const QByteArray signature = co_await std::move(fetchingSignature);
    auto verifying = onWorker([feed, signature, running = trust.running] { return verify(feed, signature, running); });
    const Verdict verdict = co_await std::move(verifying);
    const std::optional<CodeSigningError> &problem = verdict.problem;
    if (problem && problem->kind() == CodeSigningError::Kind::NoTeamIdentifier) {
        // Built to verify, yet its own anchors or signature can't be read or
        // don't hold: the feed is refused, never read as a development
        // build would read it.
        const Refused refused(QStringLiteral("This copy of Ferrowhistle can't check the update feed's signature (") + problem->reason()
                                  + QStringLiteral("), so the feed wasn't used."),
                              QStringLiteral("this copy can't verify it: %1").arg(problem->reason()));
        if (trust.log)
            trust.log(QStringLiteral("Update feed %1 refused: %2").arg(feedURL.toString(), refused.detail()));
        throw refused;
    }
    if (problem) {
        if (problem->kind() != CodeSigningError::Kind::RequirementUnmet)
            throw signingFailure(*problem);
        const QString why = problem->reason().isEmpty() ? QStringLiteral("unknown error") : problem->reason();
        const Refused refused(QStringLiteral("The update feed isn't signed by Ferrowhistle's developer (") + why
                                  + QStringLiteral("), so it wasn't used."),
                              QStringLiteral("signature %1 not accepted: %2").arg(sigURL.toString(), why));
        if (trust.log)
            trust.log(QStringLiteral("Update feed %1 refused: %2").arg(feedURL.toString(), refused.detail()));
        throw refused;
    }

    if (!verdict.identifier || verdict.identifier->isEmpty())
        throw signingFailure(CodeSigningError(CodeSigningError::Kind::NoBundleIdentifier, QString()));
    const FeedDates dates = FeedDates::decode(feed);
    const FeedScope scope = FeedScope::decode(feed);
    try {
        judgeScope(scope, *verdict.identifier, trust.channel);
        judgeDates(dates, trust.clock(), trust.newestAccepted);
    } catch (const Refused &refused) {
        if (trust.log)
            trust.log(QStringLiteral("Update feed %1 refused: %2").arg(feedURL.toString(), refused.detail()));
        throw;
    }
    Release release = ReleaseFeed::releaseFromFeed(feed);
    if (trust.accepted)
        trust.accepted(dates.published);
    co_return release;
}

} // namespace SignedFeed
