#include "DevelopmentCA.h"

#include "codesign/CmsSignature.h"
#include "codesign/OpenSslHandles.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace {

[[noreturn]] void failed(const char *what)
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error(std::string(what) + ": " + text);
}

ossl::PKey newKey()
{
    // P-256 keys are quick to make, which keeps the tests' setup short.
    ossl::PKey key(EVP_EC_gen("P-256"));
    if (!key)
        failed("making a key");
    return key;
}

void addName(X509_NAME *name, const char *field, const QString &value)
{
    if (value.isEmpty())
        return;
    const QByteArray v = value.toUtf8();
    if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(v.constData()),
                                   int(v.size()), -1, 0) != 1)
        failed("setting a certificate name");
}

void addExtension(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ossl::Extension ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1)
        failed("adding a certificate extension");
}

void addDeveloperIdMarker(X509 *cert)
{
    // The marker carries an ASN.1 NULL; only its presence counts.
    ossl::Object oid(OBJ_txt2obj(kDeveloperIdExtensionOid, 1));
    ossl::OctetString value(ASN1_OCTET_STRING_new());
    static const unsigned char asn1Null[] = {0x05, 0x00};
    if (!oid || !value || ASN1_OCTET_STRING_set(value.get(), asn1Null, sizeof asn1Null) != 1)
        failed("making the developer ID marker");
    ossl::Extension ext(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, value.get()));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1)
        failed("adding the developer ID marker");
}

ossl::X509Ptr newCertificate(EVP_PKEY *key, qint64 notBefore, qint64 notAfter)
{
    ossl::X509Ptr cert(X509_new());
    unsigned char serial[16];
    if (!cert || RAND_bytes(serial, sizeof serial) != 1)
        failed("making a certificate");
    serial[0] &= 0x7f; // positive
    ossl::BigNum bn(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())))
        failed("setting a serial number");
    if (X509_set_version(cert.get(), X509_VERSION_3) != 1 || !X509_gmtime_adj(X509_getm_notBefore(cert.get()), long(notBefore))
        || !X509_gmtime_adj(X509_getm_notAfter(cert.get()), long(notAfter)) || X509_set_pubkey(cert.get(), key) != 1)
        failed("filling in a certificate");
    return cert;
}

QByteArray keyPem(EVP_PKEY *key)
{
    ossl::Bio out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        failed("writing a key");
    return ossl::bioContents(out.get());
}

QByteArray certificatePem(X509 *cert)
{
    ossl::Bio out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_X509(out.get(), cert) != 1)
        failed("writing a certificate");
    return ossl::bioContents(out.get());
}

} // namespace

IssuedCertificate DevelopmentCA::createAuthority(const QString &commonName, qint64 validSeconds)
{
    ossl::PKey key = newKey();
    ossl::X509Ptr cert = newCertificate(key.get(), -3600, validSeconds);
    X509_NAME *name = X509_get_subject_name(cert.get());
    addName(name, "O", QStringLiteral("Ferrowhistle development"));
    addName(name, "CN", commonName);
    if (X509_set_issuer_name(cert.get(), name) != 1)
        failed("setting the issuer");
    addExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        failed("signing the authority");
    return {keyPem(key.get()), certificatePem(cert.get())};
}

IssuedCertificate DevelopmentCA::issue(const QByteArray &authorityPem, const CertificateRequest &request)
{
    const SigningIdentity ca = SigningIdentity::fromPem(authorityPem);
    const bool developer = request.kind == CertificateRequest::Kind::Developer;
    if (developer && request.team.isEmpty())
        throw std::runtime_error("a developer identity needs a team identifier");

    ossl::PKey key = newKey();
    ossl::X509Ptr cert = newCertificate(key.get(), request.notBefore, request.notAfter);
    X509_NAME *name = X509_get_subject_name(cert.get());
    addName(name, "O", developer ? QStringLiteral("Ferrowhistle developer") : QStringLiteral("Ferrowhistle notary"));
    addName(name, "OU", request.team);
    addName(name, "CN", request.commonName);
    if (X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.certificate())) != 1)
        failed("setting the issuer");
    addExtension(cert.get(), ca.certificate(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), ca.certificate(), NID_key_usage, "critical,digitalSignature");
    if (request.codeSigningUsage)
        addExtension(cert.get(), ca.certificate(), NID_ext_key_usage, "critical,codeSigning");
    else
        addExtension(cert.get(), ca.certificate(), NID_ext_key_usage, "critical,emailProtection");
    addExtension(cert.get(), ca.certificate(), NID_subject_key_identifier, "hash");
    addExtension(cert.get(), ca.certificate(), NID_authority_key_identifier, "keyid:always");
    if (developer && request.developerIdExtension)
        addDeveloperIdMarker(cert.get());
    if (X509_sign(cert.get(), ca.key(), EVP_sha256()) <= 0)
        failed("signing the certificate");
    return {keyPem(key.get()), certificatePem(cert.get())};
}
