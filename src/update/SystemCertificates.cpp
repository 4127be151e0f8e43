#include "update/SystemCertificates.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace SystemCertificates {

const QList<Location> &candidates()
{
    static const QList<Location> list{
        {QStringLiteral("/etc/ssl/certs/ca-certificates.crt"), false},
        {QStringLiteral("/etc/pki/tls/certs/ca-bundle.crt"), false},
        {QStringLiteral("/etc/ssl/ca-bundle.pem"), false},
        {QStringLiteral("/etc/ssl/certs"), true},
    };
    return list;
}

namespace {

bool holdsCertificates(const Location &l)
{
    const QFileInfo info(l.path);
    if (!l.folder)
        return info.isFile() && info.isReadable() && info.size() > 0;
    if (!info.isDir())
        return false;
    // OpenSSL finds a certificate in a folder only by its subject's hash.
    static const QRegularExpression hashed(QStringLiteral("^[0-9a-f]{8}\\.[0-9]+$"));
    const QStringList names = QDir(l.path).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    return std::any_of(names.cbegin(), names.cend(), [](const QString &n) { return hashed.match(n).hasMatch(); });
}

} // namespace

std::optional<Location> locate(const QString &root)
{
    QList<Location> order;
    if (const QString file = qEnvironmentVariable("SSL_CERT_FILE"); !file.isEmpty())
        order.append({file, false});
    if (const QString dir = qEnvironmentVariable("SSL_CERT_DIR"); !dir.isEmpty())
        order.append({dir, true});
    for (const Location &l : candidates())
        order.append({root + l.path, l.folder});
    for (const Location &l : order) {
        if (holdsCertificates(l))
            return l;
    }
    return std::nullopt;
}

QString noneFoundSentence()
{
    const QList<Location> &c = candidates();
    return QStringLiteral("This computer has no trusted certificate authorities where they are looked for "
                          "(%1, %2, %3, or certificates in the folder %4), so no secure connection can be checked; "
                          "install the system's CA certificates (the ca-certificates package).")
        .arg(c[0].path, c[1].path, c[2].path, c[3].path);
}

} // namespace SystemCertificates
