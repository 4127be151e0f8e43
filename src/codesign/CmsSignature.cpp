#include "codesign/CmsSignature.h"

#include "platform/SmallFile.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>

namespace {

// Signature files are a few kilobytes; refuse to parse anything absurd.
constexpr qsizetype kMaxSignatureBytes = 1 << 20;

QString lastOpenSslError()
{
    const unsigned long code = ERR_peek_last_error();
    char text[256] = {};
    if (code)
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

QString nameText(const X509_NAME *name)
{
    ossl::Bio out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253) < 0)
        return {};
    return QString::fromUtf8(ossl::bioContents(out.get()));
}

QString singleOrganizationalUnit(const X509_NAME *name)
{
    const int first = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, -1);
    if (first < 0 || X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, first) >= 0)
        return {};
    const ASN1_STRING *data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, first));
    unsigned char *utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (n < 0)
        return {};
    QString ou = QString::fromUtf8(reinterpret_cast<const char *>(utf8), n);
    OPENSSL_free(utf8);
    return ou;
}

bool hasExtension(X509 *cert, const char *oid)
{
    ossl::Object obj(OBJ_txt2obj(oid, 1));
    return obj && X509_get_ext_by_OBJ(cert, obj.get(), -1) >= 0;
}

// SHA-256 or stronger, both as the digest of the signer and as the digest
// named by its signature algorithm (sha1WithRSAEncryption says SHA-1 even when
// the digest field says otherwise).
bool isStrongDigest(int nid)
{
    switch (nid) {
    case NID_sha256:
    case NID_sha384:
    case NID_sha512:
    case NID_sha3_256:
    case NID_sha3_384:
    case NID_sha3_512:
        return true;
    default:
        return false;
    }
}

bool strongDigest(CMS_SignerInfo *signer)
{
    X509_ALGOR *digestAlg = nullptr;
    X509_ALGOR *signatureAlg = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digestAlg, &signatureAlg);
    if (!digestAlg || !signatureAlg)
        return false;
    const ASN1_OBJECT *digestOid = nullptr;
    const ASN1_OBJECT *signatureOid = nullptr;
    X509_ALGOR_get0(&digestOid, nullptr, nullptr, digestAlg);
    X509_ALGOR_get0(&signatureOid, nullptr, nullptr, signatureAlg);
    if (!isStrongDigest(OBJ_obj2nid(digestOid)))
        return false;
    int signatureDigest = NID_undef;
    int keyType = NID_undef;
    if (OBJ_find_sigid_algs(OBJ_obj2nid(signatureOid), &signatureDigest, &keyType) == 1 && signatureDigest != NID_undef)
        return isStrongDigest(signatureDigest);
    return true; // a bare key algorithm (rsaEncryption, ecPublicKey) signs the digest above
}

} // namespace

bool hasCodeSigningUsage(X509 *certificate)
{
    // OpenSSL 3.0 has no code-signing purpose, so the usage is checked here.
    const uint32_t eku = X509_get_extended_key_usage(certificate);
    const uint32_t ku = X509_get_key_usage(certificate);
    return eku != UINT32_MAX && (eku & XKU_CODE_SIGN) && (ku & KU_DIGITAL_SIGNATURE);
}

bool hasDeveloperIdExtension(X509 *certificate)
{
    return hasExtension(certificate, kDeveloperIdExtensionOid);
}

bool isCertificateAuthority(X509 *certificate)
{
    return X509_check_ca(certificate) != 0;
}

QString certificateSubject(X509 *certificate)
{
    return nameText(X509_get_subject_name(certificate));
}

QString certificateIssuer(X509 *certificate)
{
    return nameText(X509_get_issuer_name(certificate));
}

QString certificateOrganizationalUnit(X509 *certificate)
{
    return singleOrganizationalUnit(X509_get_subject_name(certificate));
}

SigningIdentity SigningIdentity::fromPem(const QByteArray &pem)
{
    SigningIdentity id;
    {
        ossl::Bio in = ossl::memoryBio(pem);
        // Never prompt for a passphrase: the build and scripts run unattended.
        auto noPassphrase = [](char *, int, int, void *) { return -1; };
        id.m_key.reset(PEM_read_bio_PrivateKey(in.get(), nullptr, noPassphrase, nullptr));
    }
    ERR_clear_error();
    if (!id.m_key)
        throw std::runtime_error("the identity file holds no private key");
    ossl::CertStack all = loadPemCertificates(pem);
    id.m_chain.reset(sk_X509_new_null());
    if (!id.m_chain)
        throw std::runtime_error("out of memory");
    while (sk_X509_num(all.get()) > 0) {
        ossl::X509Ptr cert(sk_X509_shift(all.get()));
        if (!id.m_certificate && X509_check_private_key(cert.get(), id.m_key.get()) == 1) {
            id.m_certificate = std::move(cert);
        } else {
            if (!sk_X509_push(id.m_chain.get(), cert.get()))
                throw std::runtime_error("out of memory");
            cert.release();
        }
    }
    ERR_clear_error();
    if (!id.m_certificate)
        throw std::runtime_error("the identity file holds no certificate for its private key");
    return id;
}

ossl::CertStack loadPemCertificates(const QByteArray &pem)
{
    ossl::CertStack certs(sk_X509_new_null());
    if (!certs || pem.isEmpty())
        return certs;
    ossl::Bio in = ossl::memoryBio(pem);
    while (true) {
        ossl::X509Ptr cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
        if (!cert)
            break;
        if (!sk_X509_push(certs.get(), cert.get()))
            break;
        cert.release();
    }
    ERR_clear_error(); // the loop ends on "no start line"
    return certs;
}

ossl::CertStack loadPemCertificateFile(const QString &path)
{
    // Anchor files hold a few certificates; a bigger one is not ours, and
    // nothing but a plain file is read.
    const SmallFile file = readSmallFile(path, 4 << 20);
    return loadPemCertificates(file.ok() ? file.bytes : QByteArray());
}

QByteArray cmsSignDetached(const QByteArray &content, const SigningIdentity &identity)
{
    ossl::Bio data = ossl::memoryBio(content);
    ossl::Cms cms(CMS_sign(identity.certificate(), identity.key(), identity.chain(), data.get(),
                           CMS_DETACHED | CMS_BINARY));
    if (!cms)
        throw std::runtime_error("signing failed: " + lastOpenSslError().toStdString());
    ossl::Bio out(BIO_new(BIO_s_mem()));
    if (!out || i2d_CMS_bio(out.get(), cms.get()) != 1)
        throw std::runtime_error("writing the signature failed: " + lastOpenSslError().toStdString());
    return ossl::bioContents(out.get());
}

CmsVerification cmsVerifyDetached(const QByteArray &der, const QByteArray &content,
                                  STACK_OF(X509) *anchors, bool checkTime)
{
    CmsVerification result;
    auto fail = [&](QString why) {
        ERR_clear_error();
        result.valid = false;
        result.failure = std::move(why);
        return result;
    };
    if (der.isEmpty() || der.size() > kMaxSignatureBytes || content.size() > INT_MAX)
        return fail(QStringLiteral("the signature is malformed"));

    // Exactly one DER object: bytes after it would let the same signature
    // travel in many files.
    const auto *begin = reinterpret_cast<const unsigned char *>(der.constData());
    const unsigned char *end = begin;
    ossl::Cms cms(d2i_CMS_ContentInfo(nullptr, &end, long(der.size())));
    if (!cms || end != begin + der.size() || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
        return fail(QStringLiteral("the signature is malformed"));
    // The content is the resource list on disk; a copy inside the signature
    // is never what is checked, so it is refused rather than ignored.
    if (CMS_is_detached(cms.get()) != 1)
        return fail(QStringLiteral("the signature is not detached"));
    STACK_OF(CMS_SignerInfo) *signerInfos = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(signerInfos) != 1)
        return fail(QStringLiteral("the signature does not have exactly one signer"));
    if (!strongDigest(sk_CMS_SignerInfo_value(signerInfos, 0)))
        return fail(QStringLiteral("the signature uses a weak digest"));

    // First the signature itself; the chain is judged below, where the
    // reason for a refusal can be told precisely.
    ossl::Store empty(X509_STORE_new());
    ossl::Bio data = ossl::memoryBio(content);
    if (!empty || !data
        || CMS_verify(cms.get(), nullptr, empty.get(), data.get(), nullptr,
                      CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1)
        return fail(QStringLiteral("invalid signature (code or signature have been modified)"));

    ossl::BorrowedCertStack signers(CMS_get0_signers(cms.get()));
    if (!signers || sk_X509_num(signers.get()) != 1)
        return fail(QStringLiteral("the signature does not have exactly one signer"));
    X509 *leaf = sk_X509_value(signers.get(), 0);
    result.signer.subject = nameText(X509_get_subject_name(leaf));
    result.signer.organizationalUnit = singleOrganizationalUnit(X509_get_subject_name(leaf));
    result.signer.hasDeveloperIdExtension = hasDeveloperIdExtension(leaf);

    if (!anchors || sk_X509_num(anchors) == 0)
        return fail(QStringLiteral("there are no trust anchors to check the signature against"));
    ossl::Store store(X509_STORE_new());
    if (!store)
        return fail(QStringLiteral("out of memory"));
    for (int i = 0; i < sk_X509_num(anchors); ++i)
        X509_STORE_add_cert(store.get(), sk_X509_value(anchors, i));
    ossl::CertStack untrusted(CMS_get1_certs(cms.get()));
    ossl::StoreCtx ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted.get()) != 1)
        return fail(QStringLiteral("out of memory"));
    if (!checkTime)
        X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(ctx.get()), X509_V_FLAG_NO_CHECK_TIME);
    if (X509_verify_cert(ctx.get()) != 1) {
        const int err = X509_STORE_CTX_get_error(ctx.get());
        return fail(QStringLiteral("the signing certificate isn't trusted: ")
                    + QString::fromLatin1(X509_verify_cert_error_string(err)));
    }
    if (!hasCodeSigningUsage(leaf))
        return fail(QStringLiteral("the signing certificate isn't meant for code signing"));

    ERR_clear_error();
    result.valid = true;
    return result;
}
