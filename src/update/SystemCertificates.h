#pragma once

#include <QList>
#include <QString>

#include <optional>

// Where this system keeps the certificate authorities it trusts. A release
// carries its own libcurl and OpenSSL, whose built-in paths are those of
// the machine that built them; so the updater looks for the store itself,
// where each distribution keeps it, in a fixed order, and never ships a copy
// of its own.
namespace SystemCertificates {

struct Location {
    QString path;
    bool folder = false; // a folder of certificates named by their hashes
};

// The places looked at, first to last: Debian's and Ubuntu's bundle,
// Fedora's, openSUSE's, then the folder of hashed certificates.
const QList<Location> &candidates();

// The first candidate that holds certificates, each path below root (the
// file system's root unless a test gives another). A bundle counts when it
// is a non-empty file, a folder when it holds at least one hashed name.
// SSL_CERT_FILE and SSL_CERT_DIR, when set and present, come first, as
// they do for OpenSSL itself.
std::optional<Location> locate(const QString &root = QString());

// What a check says when locate() found nothing.
QString noneFoundSentence();

} // namespace SystemCertificates
