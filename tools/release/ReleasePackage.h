#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// The two last steps of a release: the zip archive that is published, and
// the feed record that points at it.

// Writes a zip archive of a signed bundle whose seal still holds: the
// bundle folder under its own name, with every folder, file and link and
// their permissions, so that unpacking it gives back a bundle that verifies.
// Written to a temporary file beside zipPath and renamed into place. Throws
// std::runtime_error. With entryTime (seconds since the epoch) every entry
// carries that time instead of its file's, so that the same bundle always
// gives the same bytes.
void writeReleaseArchive(const QString &bundlePath, const QString &zipPath,
                         std::optional<qint64> entryTime = std::nullopt);

struct FeedOptions {
    QString url;
    std::optional<QString> notes;
    std::optional<QString> minimumSystemVersion;
    // As given on the command line; checked by feedRecord. An interval
    // without a date starts the rollout now.
    std::optional<QString> phasedRolloutInterval;
    std::optional<QString> pubDate;
    // "BUILD=FILE" for each delta published beside the zip.
    QStringList deltas = {};
};

// The feed record for a release archive: version and build from the
// Info.plist of the bundle inside it, the download address, the archive's
// SHA-256 and the optional fields. Throws std::runtime_error when the
// address is not https, the archive is not one the app would accept, or
// its bundle has no usable version and build, or a phased-rollout value is
// one the app would refuse. bundleIdentifier, when given, receives the
// bundle's CFBundleIdentifier (empty when it has none), which a signed
// record names.
QJsonObject feedRecord(const QString &zipPath, const FeedOptions &options, QString *bundleIdentifier = nullptr);

// The parts of the feed record's checks that need no archive, for a release
// to be refused before it is built. Both throw std::runtime_error.
QUrl requireHttpsDownloadUrl(const QString &url);
void requireMinimumSystemVersion(const QString &version);
// Whole seconds, at least 1, in ASCII digits.
qint64 requirePhasedRolloutInterval(const QString &seconds);
// An ISO 8601 date and time with a zone, as the app reads "pubDate".
QDateTime requirePubDate(const QString &date);
