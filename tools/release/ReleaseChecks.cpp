#include "ReleaseChecks.h"

#include "BundleSigner.h"

#include "codesign/BundleSeal.h"
#include "codesign/CmsSignature.h"
#include "platform/Bundle.h"
#include "release/VersionRules.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &line)
{
    throw std::runtime_error(line.toStdString());
}

QByteArray readSmallFile(const QString &path)
{
    if (!QFileInfo(path).isFile())
        fail(QStringLiteral("no such file"));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        fail(QStringLiteral("can't read it: %1").arg(f.errorString()));
    // Identities and anchors are a few kilobytes; anything this large is
    // the wrong file.
    const QByteArray bytes = f.read(4 << 20);
    if (!f.atEnd())
        fail(QStringLiteral("the file is too large to be a PEM file"));
    return bytes;
}

} // namespace

void checkAnchors(const QString &anchorsPath)
{
    const QByteArray pem = readSmallFile(anchorsPath);
    if (pem.contains("PRIVATE KEY"))
        fail(QStringLiteral("holds a private key; give the certificate only, it is shipped to every user"));
    if (sk_X509_num(loadPemCertificates(pem).get()) <= 0)
        fail(QStringLiteral("holds no PEM certificate"));
}

void checkIdentity(const QString &identityPath, IdentityKind kind, const QString &anchorsPath)
{
    const QByteArray pem = readSmallFile(identityPath);
    SigningIdentity identity = [&] {
        try {
            return SigningIdentity::fromPem(pem);
        } catch (const std::runtime_error &e) {
            fail(QString::fromUtf8(e.what()));
        }
    }();
    if (kind == IdentityKind::Developer)
        requireDeveloperIdentity(identity);
    else
        requireNotaryIdentity(identity);

    // A test signature shows now whether the copies built with these anchors
    // will accept what this identity signs, rather than after the build.
    const ossl::CertStack anchors = loadPemCertificateFile(anchorsPath);
    if (sk_X509_num(anchors.get()) <= 0)
        fail(QStringLiteral("can't be checked: %1 holds no certificate").arg(anchorsPath));
    const QByteArray probe("ferrowhistle release check");
    const CmsVerification v = cmsVerifyDetached(cmsSignDetached(probe, identity), probe, anchors.get());
    if (!v.valid)
        fail(QStringLiteral("is not accepted by the anchors in %1 (%2)").arg(anchorsPath, v.failure));
}

void checkBuildNumber(const QString &build, const QString &previousBundle)
{
    // Digits only, as the build's own option takes it; within the range the
    // app reads.
    const bool digits = !build.isEmpty() && std::all_of(build.begin(), build.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const std::optional<qint64> number = digits ? VersionRules::parseInteger(build) : std::nullopt;
    if (!number)
        fail(QStringLiteral("\"%1\" is not a whole number").arg(build));
    if (previousBundle.isEmpty())
        return;
    if (!BundleSeal::looksLikeBundle(previousBundle))
        fail(QStringLiteral("can't be compared: %1 is not a bundle").arg(previousBundle));
    const std::optional<QString> previousText = Bundle::atPath(previousBundle).infoString(QStringLiteral("CFBundleVersion"));
    const std::optional<qint64> previous = previousText ? VersionRules::parseInteger(*previousText) : std::nullopt;
    if (!previous)
        fail(QStringLiteral("can't be compared: %1 has no integer CFBundleVersion").arg(previousBundle));
    if (*number <= *previous)
        fail(QStringLiteral("%1 is not above %2, the build of %3; its users would never be offered it")
                 .arg(*number)
                 .arg(*previous)
                 .arg(previousBundle));
}
