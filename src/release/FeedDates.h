#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The two dates a signed feed carries beside its release record: when the
// publisher signed it and until when it may be believed. A feed that stops
// being renewed (a frozen mirror) runs out; one older than a feed already
// accepted (a replay) is recognised by its publication date.
struct FeedDates {
    QDateTime published;
    QDateTime expires;

    static QString publishedKey() { return QStringLiteral("published"); }
    static QString expiresKey() { return QStringLiteral("expires"); }

    // Both present, each an ISO 8601 date and time with a zone as
    // PhasedRollout::parseDate reads it. Throws PlatformError in the words of
    // the release decoder.
    static FeedDates decode(const QByteArray &body);
};
