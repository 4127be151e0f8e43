#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QByteArray>

#include <memory>

// Owning handles for the OpenSSL objects the signing code touches, so that
// every early return and every exception frees what was obtained.
namespace ossl {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T *p) const { Free(p); }
};

inline void freeCertStack(STACK_OF(X509) *s) { sk_X509_pop_free(s, X509_free); }
// CMS_get0_signers hands out a stack that borrows its certificates.
inline void freeBorrowedCertStack(STACK_OF(X509) *s) { sk_X509_free(s); }

using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using CertStack = std::unique_ptr<STACK_OF(X509), Deleter<freeCertStack>>;
using BorrowedCertStack = std::unique_ptr<STACK_OF(X509), Deleter<freeBorrowedCertStack>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using StoreCtx = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Object = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using OctetString = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;
using Name = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using BigNum = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

// A read-only memory BIO over bytes that outlive it.
inline Bio memoryBio(const QByteArray &bytes)
{
    return Bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

// Everything written to a memory BIO, as bytes.
inline QByteArray bioContents(BIO *bio)
{
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? QByteArray(data, static_cast<qsizetype>(n)) : QByteArray();
}

} // namespace ossl
