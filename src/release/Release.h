#pragma once

#include "release/ReleaseDelta.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <optional>

// One published release, as the release feed describes it.
struct Release {
    QString version;                             // shown to people, never compared
    qint64 build = 0;                            // compared with the running build
    QUrl url;                                    // where the archive is downloaded from
    QString sha256;                              // expected digest, hexadecimal, either case
    std::optional<QString> notes;                // free text for the settings section
    std::optional<QString> minimumSystemVersion; // dotted numbers, see VersionRules
    // A phased rollout (see PhasedRollout): when it starts, and the seconds
    // between one group's turn and the next.
    std::optional<QDateTime> pubDate;
    std::optional<qint64> phasedRolloutInterval;
    // What the release needs of the system (see SystemRequirements): the
    // machine as `uname -m` names it, and the highest GLIBC_ and GLIBCXX_
    // symbol versions its programs and libraries need. Decoded strictly: a
    // string of letters, digits and "_", and strings of dotted numbers
    // (2.36, 3.4.30); null or absent means no requirement.
    std::optional<QString> architecture;
    std::optional<QString> minimumGlibcVersion;
    std::optional<QString> minimumLibstdcxxVersion;
    // Deltas from earlier builds, beside the archive (see ReleaseDelta).
    std::vector<ReleaseDelta> deltas;

    bool operator==(const Release &) const = default;

    // Decodes the feed body strictly: one JSON object; "version", "url" and
    // "sha256" present and strings; "build" present and an integer literal
    // that fits 64 bits (not "42", 42.0, 4.2e1 or 2^63); "url" a valid URL;
    // "notes" and "minimumSystemVersion" strings, null or absent;
    // "pubDate" an ISO 8601 date and time with a zone within the years 0001
    // to 9999 in UTC (see PhasedRollout::parseDate), null or absent;
    // "phasedRolloutInterval" an integer literal of at least 1, null or
    // absent. Other keys are ignored; a key given twice anywhere is refused.
    // Throws PlatformError with the decoder's description. urlText receives
    // "url" as written.
    static Release decode(const QByteArray &body, QString *urlText = nullptr);

    // Whether the automatic checks hold it back by group. Both fields are
    // needed: a date alone says when, not how fast; an interval alone has
    // nothing to count from. Either alone holds nothing back.
    bool isPhased() const { return pubDate && phasedRolloutInterval; }
};

// The scheme of a URL as it was written (QUrl lower-cases it, and the rules
// on feed and download addresses compare the written scheme exactly). Empty
// when the text has no scheme.
QString writtenScheme(const QString &urlText);
