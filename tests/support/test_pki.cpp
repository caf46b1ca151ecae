#include "tests/support/test_pki.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <vector>

#include "platform/posix/trust/appended_signature.h"
#include "platform/posix/trust/openssl_handles.h"
#include "platform/posix/trust/stamp_attribute.h"

namespace tern_test {
namespace {

using namespace platform::openssl;

constexpr long kDay = 24 * 60 * 60;

struct Authority {
    X509* certificate;
    EVP_PKEY* key;
};

struct Profile {
    const char* commonName;
    bool isCa;
    const char* extendedKeyUsage;  // null for none
    long validFrom;                // seconds from now
    long validUntil;
    int rsaBits = 0;  // 0: an EC P-256 key
    const char* digest = "SHA256";
};

bool AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    const bool added = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// Issues a certificate for `key`; self-signed when `issuer` is null.
CertificatePtr Issue(const Profile& profile, EVP_PKEY* key, const Authority* issuer) {
    static long serial = 1;
    CertificatePtr certificate(X509_new());
    X509* x = certificate.get();
    X509_NAME* name = X509_get_subject_name(x);
    const auto* commonName = reinterpret_cast<const unsigned char*>(profile.commonName);
    X509* issuerCertificate = issuer ? issuer->certificate : x;
    const bool ok =
        X509_set_version(x, X509_VERSION_3) &&
        ASN1_INTEGER_set(X509_get_serialNumber(x), ++serial) &&
        X509_gmtime_adj(X509_getm_notBefore(x), profile.validFrom) &&
        X509_gmtime_adj(X509_getm_notAfter(x), profile.validUntil) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, commonName, -1, -1, 0) &&
        X509_set_issuer_name(x, X509_get_subject_name(issuerCertificate)) &&
        X509_set_pubkey(x, key) &&
        AddExtension(x, issuerCertificate, NID_basic_constraints,
                     profile.isCa ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
        AddExtension(x, issuerCertificate, NID_key_usage,
                     profile.isCa ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature") &&
        AddExtension(x, issuerCertificate, NID_subject_key_identifier, "hash") &&
        AddExtension(x, issuerCertificate, NID_authority_key_identifier, "keyid:always") &&
        (!profile.extendedKeyUsage ||
         AddExtension(x, issuerCertificate, NID_ext_key_usage, profile.extendedKeyUsage)) &&
        X509_sign(x, issuer ? issuer->key : key, EVP_get_digestbyname(profile.digest)) > 0;
    if (!ok) certificate.reset();
    return certificate;
}

bool WritePem(const std::string& path, X509* certificate, EVP_PKEY* key) {
    const BioPtr file(BIO_new_file(path.c_str(), "w"));
    if (!file) return false;
    if (key)
        return PEM_write_bio_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    return PEM_write_bio_X509(file.get(), certificate);
}

class Generator {
public:
    explicit Generator(const std::string& directory) : directory_(directory + "/") {}

    bool ok() const { return ok_; }

    // A CA: its key and certificate stay in memory, the certificate is written.
    Authority MakeAuthority(const char* name, const Authority* issuer, std::string* path,
                            const char* extendedKeyUsage = nullptr) {
        keys_.emplace_back(EVP_EC_gen("P-256"));
        EVP_PKEY* key = keys_.back().get();
        certificates_.push_back(
            key ? Issue({name, true, extendedKeyUsage, -kDay, 10 * kDay}, key, issuer)
                : CertificatePtr());
        X509* certificate = certificates_.back().get();
        *path = directory_ + name + ".pem";
        ok_ = ok_ && certificate && WritePem(*path, certificate, nullptr);
        return {certificate, key};
    }

    TestCredential MakeSigner(const Profile& profile, const Authority& issuer,
                              const std::string& chain) {
        const KeyPtr key(profile.rsaBits ? EVP_RSA_gen(static_cast<unsigned>(profile.rsaBits))
                                         : EVP_EC_gen("P-256"));
        const CertificatePtr certificate = key ? Issue(profile, key.get(), &issuer) : nullptr;
        TestCredential credential{directory_ + profile.commonName + ".key",
                                  directory_ + profile.commonName + ".pem", chain};
        ok_ = ok_ && certificate && WritePem(credential.key, nullptr, key.get()) &&
              WritePem(credential.certificate, certificate.get(), nullptr);
        return credential;
    }

private:
    std::string directory_;
    std::vector<KeyPtr> keys_;
    std::vector<CertificatePtr> certificates_;
    bool ok_ = true;
};

}  // namespace

std::optional<TestPki> CreateTestPki(const std::string& directory) {
    Generator generator(directory);
    TestPki pki;
    std::string intermediatePath;
    const Authority root = generator.MakeAuthority("root", nullptr, &pki.root);
    const Authority intermediate =
        generator.MakeAuthority("intermediate", &root, &intermediatePath);
    const Authority otherRoot = generator.MakeAuthority("other-root", nullptr, &pki.otherRoot);
    std::string restrictedPath;
    const Authority restricted =
        generator.MakeAuthority("restricted", &root, &restrictedPath, "serverAuth,clientAuth");
    if (!generator.ok()) {
        ADD_FAILURE() << "cannot create the test authorities";
        return std::nullopt;
    }
    const long hour = 60 * 60;
    pki.codeSigning = generator.MakeSigner({"code-signing", false, "codeSigning", -hour, kDay},
                                           intermediate, intermediatePath);
    pki.expired = generator.MakeSigner({"expired", false, "codeSigning", -2 * kDay, -kDay},
                                       intermediate, intermediatePath);
    pki.notYetValid = generator.MakeSigner({"not-yet-valid", false, "codeSigning", kDay, 2 * kDay},
                                           intermediate, intermediatePath);
    pki.noCodeSigning = generator.MakeSigner({"server", false, "serverAuth", -hour, kDay},
                                             intermediate, intermediatePath);
    pki.otherCodeSigning = generator.MakeSigner(
        {"other-code-signing", false, "codeSigning", -hour, kDay}, otherRoot, "");
    pki.restrictedIssuer = generator.MakeSigner(
        {"restricted-code-signing", false, "codeSigning", -hour, kDay}, restricted, restrictedPath);
    pki.weakKey = generator.MakeSigner({"weak-key", false, "codeSigning", -hour, kDay, 1024},
                                       intermediate, intermediatePath);
    pki.sha1Signed =
        generator.MakeSigner({"sha1-signed", false, "codeSigning", -hour, kDay, 0, "SHA1"},
                             intermediate, intermediatePath);
    if (!generator.ok()) {
        ADD_FAILURE() << "cannot create the test signers";
        return std::nullopt;
    }
    return pki;
}

namespace {

// Adds to a finished signature what its signature does not cover.
bool AddExtra(CMS_ContentInfo* cms, BlockExtra extra, X509* signer, EVP_PKEY* key) {
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    const std::unique_ptr<X509_CRL, Deleter<X509_CRL, X509_CRL_free>> crl(X509_CRL_new());
    if (extra == BlockExtra::UnsignedAttribute) {
        return CMS_unsigned_add1_attr_by_txt(info, "1.2.3.4", V_ASN1_OCTET_STRING,
                                             std::string(4096, 'x').data(), 4096) == 1;
    }
    return extra == BlockExtra::None ||
           (crl && X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(signer)) &&
            X509_CRL_set1_lastUpdate(crl.get(), X509_get0_notBefore(signer)) &&
            X509_CRL_sign(crl.get(), key, EVP_sha256()) > 0 && CMS_add1_crl(cms, crl.get()));
}

}  // namespace

std::string SignWithoutChecks(const std::string& payload, const TestCredential& credential,
                              BlockExtra extra, const platform::ReleaseStamp& stamp) {
    const BioPtr keyFile(BIO_new_file(credential.key.c_str(), "r"));
    const BioPtr certificateFile(BIO_new_file(credential.certificate.c_str(), "r"));
    const BioPtr chainFile(BIO_new_file(credential.chain.c_str(), "r"));
    const KeyPtr key(keyFile ? PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr)
                             : nullptr);
    const CertificatePtr certificate(
        certificateFile ? PEM_read_bio_X509(certificateFile.get(), nullptr, nullptr, nullptr)
                        : nullptr);
    const CertificatesPtr chain(sk_X509_new_null());
    if (chainFile) ReadPemCertificates(chainFile.get(), chain.get());
    const BioPtr content(BIO_new_mem_buf(payload.data(), static_cast<int>(payload.size())));
    constexpr unsigned kFlags = CMS_DETACHED | CMS_BINARY;
    const CmsPtr cms(key && certificate && content
                         ? CMS_sign(nullptr, nullptr, chain.get(), nullptr, kFlags | CMS_PARTIAL)
                         : nullptr);
    CMS_SignerInfo* signer =
        cms ? CMS_add1_signer(cms.get(), certificate.get(), key.get(), EVP_sha256(), kFlags)
            : nullptr;
    if (!signer || (stamp.Present() && !AddStamp(signer, stamp)) ||
        CMS_final(cms.get(), content.get(), nullptr, kFlags) != 1) {
        return "";
    }
    if (!AddExtra(cms.get(), extra, certificate.get(), key.get())) return "";
    unsigned char* der = nullptr;
    const int size = i2d_CMS_ContentInfo(cms.get(), &der);
    if (size <= 0) return "";
    const std::vector<unsigned char> trailer =
        platform::BuildSignatureTrailer(std::vector<unsigned char>(der, der + size));
    OPENSSL_free(der);
    return payload + std::string(trailer.begin(), trailer.end());
}

}  // namespace tern_test
