#pragma once

#include <QByteArray>
#include <QString>

// Certificates for development and testing: a self-signed authority and the
// identities it issues. Real releases use identities from the real
// authorities; these only ever go into a development build's anchors.

struct IssuedCertificate {
    QByteArray keyPem;         // PKCS#8, unencrypted
    QByteArray certificatePem;
    // Key and certificate in one file: what `sign`, `notarize` and the
    // build's signing options read.
    QByteArray identityPem() const { return certificatePem + keyPem; }
};

struct CertificateRequest {
    enum class Kind { Developer, Notary };
    Kind kind = Kind::Developer;
    QString commonName;
    QString team;                      // subject OU; required for a developer
    bool developerIdExtension = true;  // developers only
    bool codeSigningUsage = true;
    // Validity, in seconds relative to now.
    qint64 notBefore = -3600;
    qint64 notAfter = 2 * 365 * 86400;
};

class DevelopmentCA {
public:
    // Throws std::runtime_error.
    static IssuedCertificate createAuthority(const QString &commonName, qint64 validSeconds = 10LL * 365 * 86400);
    // authorityPem: the authority's certificate and key, as identityPem() gives them.
    static IssuedCertificate issue(const QByteArray &authorityPem, const CertificateRequest &request);
};
