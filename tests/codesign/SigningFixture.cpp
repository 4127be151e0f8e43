#include "SigningFixture.h"

#include "BundleSigner.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QtEndian>

#include <array>
#include <stdexcept>
#include <utility>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        throw std::runtime_error("can't write " + path.toStdString());
}

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("can't read " + path.toStdString());
    return f.readAll();
}

bool giveToAnotherUser(const QString &path)
{
    return ::lchown(QFile::encodeName(path).constData(), kAnotherUser, kAnotherUser) == 0;
}

bool grantFileCapability(const QString &path)
{
    // A version 2 capability set: magic and effective flag, then the
    // permitted and inheritable words of the two halves.
    const quint32 value[5] = {qToLittleEndian(quint32(0x02000001)), qToLittleEndian(quint32(1u << 10)), 0, 0, 0};
    return ::setxattr(QFile::encodeName(path).constData(), "security.capability", value, sizeof value, 0) == 0;
}

SigningFixture::SigningFixture()
{
    developerCA = DevelopmentCA::createAuthority(QStringLiteral("Test Developer CA"));
    strangerCA = DevelopmentCA::createAuthority(QStringLiteral("Test Developer CA")); // same name, other key
    notaryCA = DevelopmentCA::createAuthority(QStringLiteral("Test Notary CA"));
    strangerNotaryCA = DevelopmentCA::createAuthority(QStringLiteral("Test Notary CA"));

    CertificateRequest dev;
    dev.commonName = QStringLiteral("Developer ID Application: Test");
    dev.team = QLatin1String(kTeam);
    developer = issueDeveloper(dev);
    dev.team = QLatin1String(kOtherTeam);
    otherTeam = issueDeveloper(dev);

    CertificateRequest n;
    n.kind = CertificateRequest::Kind::Notary;
    n.commonName = QStringLiteral("Test Notary");
    notary = DevelopmentCA::issue(notaryCA.identityPem(), n);
    strangerNotary = DevelopmentCA::issue(strangerNotaryCA.identityPem(), n);
}

namespace {

// Each identity as NAME.key and NAME.crt.
template <typename Fixture>
auto savedIdentities(Fixture &f)
{
    return std::array{std::pair{"developer-ca", &f.developerCA}, std::pair{"stranger-ca", &f.strangerCA},
                      std::pair{"notary-ca", &f.notaryCA}, std::pair{"stranger-notary-ca", &f.strangerNotaryCA},
                      std::pair{"developer", &f.developer}, std::pair{"other-team", &f.otherTeam},
                      std::pair{"notary", &f.notary}, std::pair{"stranger-notary", &f.strangerNotary}};
}

} // namespace

SigningFixture::SigningFixture(const QString &savedIn)
{
    for (auto [name, identity] : savedIdentities(*this)) {
        for (auto [suffix, pem] : {std::pair{".key", &identity->keyPem}, std::pair{".crt", &identity->certificatePem}}) {
            QFile f(savedIn + u'/' + QLatin1String(name) + QLatin1String(suffix));
            if (!f.open(QIODevice::ReadOnly) || (*pem = f.readAll()).isEmpty()) {
                m_loadError = f.fileName() + QStringLiteral(": can't read it (") + f.errorString() + u')';
                return;
            }
        }
    }
}

void SigningFixture::save(const QString &folder) const
{
    for (auto [name, identity] : savedIdentities(*this)) {
        writeBytes(folder + u'/' + QLatin1String(name) + QStringLiteral(".key"), identity->keyPem);
        writeBytes(folder + u'/' + QLatin1String(name) + QStringLiteral(".crt"), identity->certificatePem);
    }
}

IssuedCertificate SigningFixture::issueDeveloper(const CertificateRequest &request) const
{
    return DevelopmentCA::issue(developerCA.identityPem(), request);
}

QString SigningFixture::makeBundle(const QString &dir, const BundleOptions &o) const
{
    const QString app = root() + u'/' + dir + QStringLiteral("/Ferrowhistle.app");
    QDir(app).removeRecursively();
    QString plist = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n");
    if (o.withIdentifier)
        plist += QStringLiteral("\t<key>CFBundleIdentifier</key>\n\t<string>%1</string>\n").arg(o.identifier.toHtmlEscaped());
    plist += QStringLiteral("\t<key>CFBundleShortVersionString</key>\n\t<string>1.%1</string>\n"
                            "\t<key>CFBundleVersion</key>\n\t<string>%1</string>\n</dict>\n</plist>\n").arg(o.build);
    writeBytes(app + QStringLiteral("/Contents/Info.plist"), plist.toUtf8());

    QByteArray program(64 * 1024, Qt::Uninitialized);
    for (char &c : program)
        c = char(QRandomGenerator::global()->bounded(256));
    const QString exe = app + QStringLiteral("/Contents/bin/Ferrowhistle");
    writeBytes(exe, program);
    ::chmod(QFile::encodeName(exe).constData(), 0755);
    writeBytes(app + QStringLiteral("/Contents/Resources/build-info.json"), "{\"build\": \"" + QByteArray::number(o.build) + "\"}\n");
    writeBytes(app + QStringLiteral("/Contents/Resources/icons/ferrowhistle-16.png"), QByteArray(700, 'i'));
    ::symlink("icons/ferrowhistle-16.png", QFile::encodeName(app + QStringLiteral("/Contents/Resources/icon.png")).constData());
    if (o.codeSigningAnchors)
        writeBytes(app + QStringLiteral("/Contents/Resources/Trust/codesigning-anchors.pem"), developerCA.certificatePem);
    if (o.notaryAnchors)
        writeBytes(app + QStringLiteral("/Contents/Resources/Trust/notary-anchors.pem"), notaryCA.certificatePem);
    return app;
}

QString SigningFixture::makeSignedBundle(const QString &dir, bool notarized) const
{
    const QString app = makeBundle(dir);
    signBundle(app, developer.identityPem());
    if (notarized)
        notarizeBundle(app, notary.identityPem());
    return app;
}

QString SigningFixture::signedCopyOfApp(const QString &folder, qint64 build) const
{
    const QString app = unsignedCopyOfApp(folder, build);
    if (app.isEmpty())
        return {};
    signBundle(app, developer.identityPem());
    notarizeBundle(app, notary.identityPem());
    return app;
}

QString SigningFixture::unsignedCopyOfApp(const QString &folder, qint64 build) const
{
    QDir().mkpath(folder);
    QProcess cp;
    cp.start(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral(FW_BUNDLE_DIR), folder + QStringLiteral("/")});
    if (!cp.waitForFinished(60000) || cp.exitCode() != 0)
        return {};
    const QString app = folder + QStringLiteral("/Ferrowhistle.app");
    QDir(app + QStringLiteral("/Contents/_CodeSignature")).removeRecursively();
    const QString plist = app + QStringLiteral("/Contents/Info.plist");
    QByteArray info = readBytes(plist);
    const qsizetype key = info.indexOf("<key>CFBundleVersion</key>");
    const qsizetype open = info.indexOf("<string>", key) + 8;
    info.replace(open, info.indexOf("</string>", open) - open, QByteArray::number(build));
    writeBytes(plist, info);
    writeBytes(app + QStringLiteral("/Contents/Resources/Trust/codesigning-anchors.pem"), developerCA.certificatePem);
    writeBytes(app + QStringLiteral("/Contents/Resources/Trust/notary-anchors.pem"), notaryCA.certificatePem);
    return app;
}

QString SigningFixture::prebuiltReleaseFolder(const QString &folder, qint64 build) const
{
    if (unsignedCopyOfApp(folder, build).isEmpty() || !QDir().mkpath(folder + QStringLiteral("/bin")))
        return {};
    if (!QFile::link(QStringLiteral(FW_BINARY_DIR "/bin/ferrowhistle-release"), folder + QStringLiteral("/bin/ferrowhistle-release")))
        return {};
    return folder;
}
