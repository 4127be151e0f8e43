#pragma once

#include <QJsonArray>
#include <QString>
#include <QStringList>
#include <QUrl>

// Update deltas of a release: made from an earlier release's signed bundle,
// published beside the zip, listed in the feed record.

// Writes the delta from oldBundle to newBundle at out. Refuses (throws
// std::runtime_error) an old bundle that does not verify as a release, and
// a new one that its users' copies (the old one) would not accept.
void writeReleaseDelta(const QString &oldBundle, const QString &newBundle, const QString &out);

// The feed's "deltas" for the given "BUILD=FILE" arguments: each delta's
// address is the zip's address with its last path segment replaced by the
// delta's file name; its digest and length are read from the file. Throws
// std::runtime_error for an argument of another form, a file that is not a
// delta, a build that is not below the release's, or one given twice.
QJsonArray feedDeltas(const QUrl &zipUrl, const QStringList &arguments, qint64 releaseBuild);

// The address of a file published beside the zip.
QUrl besideZip(const QUrl &zipUrl, const QString &fileName);
