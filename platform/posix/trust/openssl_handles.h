// Owners of OpenSSL objects, and the error text OpenSSL left for the current thread.
// Internal to the trust units and their test support: the public headers stay free of OpenSSL.
#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace platform::openssl {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};

inline void FreeCertificates(STACK_OF(X509) * certificates) {
    sk_X509_pop_free(certificates, X509_free);
}

using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using CertificatePtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using CertificatesPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), FreeCertificates>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreContextPtr =
    std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;

// OpenSSL keeps a per-thread error queue that other users of the library on the same thread
// (libcurl's TLS code) would misread; this empties it when the scope ends.
class ErrorQueueScope {
public:
    ErrorQueueScope();
    ~ErrorQueueScope();
    ErrorQueueScope(const ErrorQueueScope&) = delete;
    ErrorQueueScope& operator=(const ErrorQueueScope&) = delete;
};

// Appends the PEM certificates of `in` to `certificates`; false when there is none or one is
// damaged. Text between certificates is skipped, as PEM allows.
bool ReadPemCertificates(BIO* in, STACK_OF(X509) * certificates);

// The reason text of the earliest error in the thread's queue; `fallback` when it is empty.
std::string FirstErrorText(const std::string& fallback);

}  // namespace platform::openssl
