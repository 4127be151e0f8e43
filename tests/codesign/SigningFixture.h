#pragma once

#include "DevelopmentCA.h"

#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

// Certificates and bundles for the signing tests, all made at run time:
// a developer authority with identities for two teams, a second developer
// authority nobody trusts, and a notary authority.
class SigningFixture {
public:
    static constexpr const char *kTeam = "TEAMA12345";
    static constexpr const char *kOtherTeam = "TEAMB67890";

    SigningFixture();
    // The identities another process saved in folder with save(), so that a
    // release made once per run is trusted and signed for by every test
    // that uses it. loadError() says what could not be read.
    explicit SigningFixture(const QString &savedIn);
    void save(const QString &folder) const;
    QString loadError() const { return m_loadError; }

    QString root() const { return m_dir.path(); }

    IssuedCertificate developerCA;
    IssuedCertificate strangerCA;
    IssuedCertificate notaryCA;
    IssuedCertificate strangerNotaryCA;
    IssuedCertificate developer;      // team kTeam, developer ID marker
    IssuedCertificate otherTeam;      // team kOtherTeam, same authority
    IssuedCertificate notary;
    IssuedCertificate strangerNotary; // issued by strangerNotaryCA

    IssuedCertificate issueDeveloper(const CertificateRequest &request) const;

    struct BundleOptions {
        QString identifier = QStringLiteral("com.copperkestrel.Ferrowhistle");
        bool withIdentifier = true;
        bool codeSigningAnchors = true;
        bool notaryAnchors = true;
        qint64 build = 100;
    };
    // Makes DIR/Ferrowhistle.app below the fixture's folder: Info.plist, an
    // executable, resources with a nested folder and a link, and the anchors.
    QString makeBundle(const QString &dir, const BundleOptions &options) const;
    QString makeBundle(const QString &dir) const { return makeBundle(dir, BundleOptions{}); }
    // A signed bundle (developer identity); notarized when asked.
    QString makeSignedBundle(const QString &dir, bool notarized = false) const;
    // A copy of the built app in FOLDER (absolute) as build `build`, trusting
    // this fixture's authorities, signed and notarized; empty when the copy
    // failed.
    QString signedCopyOfApp(const QString &folder, qint64 build) const;
    // The same copy before signing: what a build configured with this
    // fixture's anchors and that build number makes.
    QString unsignedCopyOfApp(const QString &folder, qint64 build) const;
    // A build folder as `make release` leaves it before its own steps:
    // FOLDER/Ferrowhistle.app (unsignedCopyOfApp) and the built release tool
    // in FOLDER/bin. Empty when the copy failed.
    QString prebuiltReleaseFolder(const QString &folder, qint64 build) const;

private:
    QTemporaryDir m_dir;
    QString m_loadError;
};

void writeBytes(const QString &path, const QByteArray &bytes);
QByteArray readBytes(const QString &path);

// What only root can do to a file, for the cases where another user or a
// file capability must be refused. Each returns false (errno set) when it
// failed.
constexpr uid_t kAnotherUser = 1001;
bool giveToAnotherUser(const QString &path); // the link itself, for a link
// CAP_NET_BIND_SERVICE, permitted and effective, as setcap writes it. Set it
// last: a change of owner clears it.
bool grantFileCapability(const QString &path);
