#pragma once

#include "platform/Bundle.h"
#include "release/FeedDates.h"
#include "release/FeedScope.h"
#include "release/Release.h"
#include "release/UpdaterFailure.h"
#include "update/NetworkSession.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

// The release feed of a copy that verifies its updates: the developer signs
// the feed's exact bytes (a detached signature beside it, at the feed's
// address with ".sig" added to its path), and nothing the server sends is
// decoded before that signature holds. The signed feed says when it was
// published and until when it may be believed, so a server can neither
// freeze the feed nor serve an older one in place of a newer. A copy that
// cannot verify updates (no anchors or no signature of its own: a
// development build) fetches the feed as it is.
namespace SignedFeed {

// A signature is a few KiB (the signer's certificate chain included).
inline constexpr qint64 kMaxSignatureBytes = 64 * 1024;
// How far ahead of this computer's clock a publication date is believed:
// clocks that are a little off must not stop updates.
inline constexpr qint64 kFutureAllowanceSeconds = 24 * 3600;

QUrl signatureURL(const QUrl &feedURL);

// A feed refused for what it is (its signature or its dates): the sentence
// shown, and what was found, for the journal.
class Refused : public UpdaterFailure {
public:
    Refused(QString sentence, QString detail) : UpdaterFailure(std::move(sentence)), m_detail(std::move(detail)) {}
    const QString &detail() const { return m_detail; }

private:
    QString m_detail;
};

// What the fetch judges against, taken before it starts; the callbacks run
// on the caller's thread and must cope with their owner being gone.
struct Trust {
    Bundle running;
    std::function<QDateTime()> clock;
    // The publication date of the newest feed accepted from this address.
    std::optional<QDateTime> newestAccepted;
    std::function<void(const QString &)> log;
    // Called with the publication date of a signed feed once it is accepted
    // whole (signature, scope, dates and release record).
    std::function<void(const QDateTime &)> accepted;
    // The channel this install follows; the app is the running copy's
    // bundle identifier.
    QString channel = FeedScope::defaultChannel();
};

// Throws Refused for a feed signed for another app or another channel.
void judgeScope(const FeedScope &scope, const QString &identifier, const QString &channel);

// Throws Refused for a feed past its expiry, one published more than a day
// ahead of now, and one published before the newest accepted.
void judgeDates(const FeedDates &dates, const QDateTime &now, const std::optional<QDateTime> &newestAccepted);

// Fetches and decodes the release as ReleaseFeed::fetchRelease does; for a
// copy that can verify updates, fetches the signature too, verifies it (on
// a worker) before decoding, and judges whom it is for and its dates. Fails with Refused, with
// UpdaterFailure for a signature that cannot be fetched, and as
// fetchRelease fails.
QCoro::Task<Release> fetchRelease(NetworkSession &session, QUrl feedURL, QByteArray userAgent,
                                  NetworkSession::Limits limits, Trust trust);

} // namespace SignedFeed
