#include "platform/trust/trust_provider.h"

#include <fcntl.h>
#include <openssl/cms.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/posix/file_access.h"
#include "platform/posix/trust/appended_signature.h"
#include "platform/posix/trust/authenticode.h"
#include "platform/posix/trust/code_signing_usage.h"
#include "platform/posix/trust/fd_range_bio.h"
#include "platform/posix/trust/openssl_handles.h"
#include "platform/posix/trust/signature_block.h"
#include "platform/posix/trust/stamp_attribute.h"
#include "platform/posix/unique_fd.h"
#include "platform/trust/pe_image.h"
#include "platform/trust/trust_common.h"

namespace platform {
namespace {

using namespace platform::openssl;

// OpenSSL's level 2: keys of at least 112 bits of security (RSA 2048), no MD5 or SHA-1
// signatures on the path below the anchor.
constexpr int kSecurityLevel = 2;

struct Verdict {
    Verdict(uint32_t code = kTrustOk, std::string detail = {})
        : code(code), detail(std::move(detail)) {}

    uint32_t code;
    std::string detail;
    uint64_t payloadSize = 0;  // the bytes the signature covers
    ReleaseStamp stamp;
};

// A stamp attribute is covered by the signature, so a damaged one was signed so: no publisher's
// tool makes it, and the signature is not one this provider reads.
template <typename Signer>
Verdict ReadSignedStamp(Signer* signer) {
    Verdict verdict;
    if (ReadStamp(signer, &verdict.stamp) == StampReading::Malformed) {
        return {kTrustNoSignature, "the signature's release stamp is malformed"};
    }
    return verdict;
}

struct ParsedSignature {
    std::string problem;  // empty when the blob is a signature this provider checks
    CmsPtr cms;
    X509* signer = nullptr;  // owned by `cms`
};

ParsedSignature Problem(const char* text) {
    ParsedSignature parsed;
    parsed.problem = text;
    return parsed;
}

// The blob must be exactly one DER structure: a detached SignedData with one SHA-256 signer
// whose certificate travels with it, holding nothing more (signature_block.h).
ParsedSignature ParseSignature(const std::vector<unsigned char>& der) {
    ParsedSignature parsed;
    const unsigned char* cursor = der.data();
    parsed.cms.reset(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
    if (!parsed.cms || cursor != der.data() + der.size()) {
        return Problem("the signature is not a DER CMS structure");
    }
    CMS_ContentInfo* cms = parsed.cms.get();
    if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed || CMS_is_detached(cms) != 1) {
        return Problem("the signature is not a detached SignedData");
    }
    STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms);
    if (sk_CMS_SignerInfo_num(signerInfos) != 1) {
        return Problem("the signature does not have exactly one signer");
    }
    CMS_set1_signers_certs(cms, nullptr, 0);
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signerInfos, 0), nullptr, &parsed.signer,
                             &digest, nullptr);
    if (!parsed.signer) return Problem("the signer's certificate is missing");
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, digest);
    if (OBJ_obj2nid(algorithm) != NID_sha256) return Problem("the digest is not SHA-256");
    parsed.problem = CheckSignatureBlock(der, cms, parsed.signer);
    return parsed;
}

// The signed attributes and the digest of the payload, streamed from the file. The chain is
// checked separately: CMS_verify's own check would demand the e-mail protection purpose.
Verdict VerifySignature(CMS_ContentInfo* cms, int fd, uint64_t payloadSize) {
    FdRangeBio payload(fd, payloadSize);
    if (!payload.Get()) return {kTrustBadDigest, "out of memory"};
    const int verified = CMS_verify(cms, nullptr, nullptr, payload.Get(), nullptr,
                                    CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY);
    if (payload.Incomplete()) return {kTrustBadDigest, "the file could not be read to its end"};
    if (verified != 1) {
        return {kTrustBadDigest,
                "the signature does not match the content: " + FirstErrorText("unknown error")};
    }
    return {};
}

// The certificates of a pin's text; null when it holds none or a damaged one.
CertificatesPtr PinnedCertificates(const std::string& pemText) {
    const BioPtr pem(BIO_new_mem_buf(pemText.data(), static_cast<int>(pemText.size())));
    CertificatesPtr certificates(sk_X509_new_null());
    if (!pem || !certificates || !ReadPemCertificates(pem.get(), certificates.get())) {
        certificates.reset();
    }
    return certificates;
}

StorePtr AnchorStore(const TrustAnchors& anchors) {
    StorePtr store(X509_STORE_new());
    if (!store) return store;
    if (!anchors.pinned) {
        if (X509_STORE_set_default_paths(store.get()) != 1) store.reset();
        return store;
    }
    const CertificatesPtr certificates = PinnedCertificates(anchors.pinnedPem);
    if (!certificates) {
        store.reset();
        return store;
    }
    for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
        if (X509_STORE_add_cert(store.get(), sk_X509_value(certificates.get(), i)) != 1) {
            store.reset();
            return store;
        }
    }
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    return store;
}

bool OnPath(X509* certificate, STACK_OF(X509) * path) {
    for (int i = 0; i < sk_X509_num(path); ++i) {
        if (X509_cmp(certificate, sk_X509_value(path, i)) == 0) return true;
    }
    return false;
}

// The path must serve code signing throughout, and the signature may carry no certificate
// beside it: anything else there is unchecked bytes appended to the payload.
Verdict CheckPath(STACK_OF(X509) * path, STACK_OF(X509) * carried) {
    for (int i = 0; i < sk_X509_num(carried); ++i) {
        if (!OnPath(sk_X509_value(carried, i), path)) {
            return {kTrustNoSignature,
                    "the signature carries a certificate that is not on the signer's path"};
        }
    }
    if (!AllowsCodeSigning(sk_X509_value(path, 0))) {
        return {kTrustWrongUsage, "the signer's certificate does not allow code signing"};
    }
    for (int i = 1; i < sk_X509_num(path); ++i) {
        if (!LetsIssuedCertificatesSignCode(sk_X509_value(path, i))) {
            return {kTrustWrongUsage,
                    "a certificate on the signer's path restricts its usage to other purposes"};
        }
    }
    return {};
}

uint32_t ChainErrorCode(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return kTrustExpired;
        default:
            return kTrustUntrustedRoot;
    }
}

// Builds the path from the signer through the certificates `carried` in the signature to an
// anchor, checking validity times and key and digest strength. No purpose is set, so OpenSSL
// checks no key usage here; CheckPath does.
Verdict VerifyChain(STACK_OF(X509) * carried, X509* signer, const TrustAnchors& anchors) {
    if (!anchors.pinProblem.empty()) return {kTrustUntrustedRoot, anchors.pinProblem};
    const StorePtr store = AnchorStore(anchors);
    if (!store) return {kTrustUntrustedRoot, "the trusted certificates could not be loaded"};
    const StoreContextPtr context(X509_STORE_CTX_new());
    if (!carried || !context ||
        X509_STORE_CTX_init(context.get(), store.get(), signer, carried) != 1) {
        return {kTrustUntrustedRoot, "out of memory"};
    }
    X509_VERIFY_PARAM_set_auth_level(X509_STORE_CTX_get0_param(context.get()), kSecurityLevel);
    if (X509_verify_cert(context.get()) != 1) {
        const int error = X509_STORE_CTX_get_error(context.get());
        return {ChainErrorCode(error),
                std::string("certificate chain: ") + X509_verify_cert_error_string(error)};
    }
    return CheckPath(X509_STORE_CTX_get0_chain(context.get()), carried);
}

Verdict VerifyAppended(int fd, const TrustAnchors& anchors) {
    const AppendedSignature appended = ReadAppendedSignature(fd);
    if (!appended.problem.empty()) return {kTrustNoSignature, appended.problem};
    const ParsedSignature parsed = ParseSignature(appended.cms);
    if (!parsed.problem.empty()) return {kTrustNoSignature, parsed.problem};

    Verdict verdict = VerifySignature(parsed.cms.get(), fd, appended.payloadSize);
    if (verdict.code != kTrustOk) return verdict;
    verdict = ReadSignedStamp(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(parsed.cms.get()), 0));
    if (verdict.code != kTrustOk) return verdict;
    const CertificatesPtr carried(CMS_get1_certs(parsed.cms.get()));
    const Verdict chain = VerifyChain(carried.get(), parsed.signer, anchors);
    if (chain.code != kTrustOk) return chain;
    verdict.payloadSize = appended.payloadSize;
    return verdict;
}

// A PE program is verified as Windows does: by its Authenticode signature, with the same
// layout rules as there (pe_image.h). The signature is part of the program, which runs whole.
Verdict VerifyProgram(int fd, uint64_t size, const TrustAnchors& anchors) {
    const PeSignature signature = ReadPeSignature(PeFileReader(fd), size);
    if (!signature.problem.empty()) return {kTrustNoSignature, signature.problem};
    const AuthenticodeSignature parsed = ParseAuthenticode(signature.der);
    if (!parsed.problem.empty()) return {kTrustNoSignature, parsed.problem};
    ImageDigest digest;
    if (!DigestImage(fd, signature.layout, &digest)) {
        return {kTrustBadDigest, "the file could not be read to its end"};
    }
    if (std::string problem = CheckAuthenticode(parsed, digest); !problem.empty()) {
        return {kTrustBadDigest, problem};
    }
    Verdict verdict =
        ReadSignedStamp(sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(parsed.pkcs7.get()), 0));
    if (verdict.code != kTrustOk) return verdict;
    const Verdict chain = VerifyChain(parsed.pkcs7->d.sign->cert, parsed.signer, anchors);
    if (chain.code != kTrustOk) return chain;
    verdict.payloadSize = size;
    return verdict;
}

Verdict Verify(int fd, const TrustAnchors& anchors) {
    struct stat info;
    const bool program = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                         LooksLikePeProgram(PeFileReader(fd), static_cast<uint64_t>(info.st_size));
    return program ? VerifyProgram(fd, static_cast<uint64_t>(info.st_size), anchors)
                   : VerifyAppended(fd, anchors);
}

uint32_t VerifyDescriptor(int fd, const TrustAnchors& anchors, std::string* detail,
                          uint64_t* payloadSize, ReleaseStamp* stamp) {
    const ErrorQueueScope errorQueue;
    Verdict verdict = Verify(fd, anchors);
    if (detail) *detail = std::move(verdict.detail);
    if (verdict.code != kTrustOk) return verdict.code;
    if (payloadSize) *payloadSize = verdict.payloadSize;
    if (stamp) *stamp = std::move(verdict.stamp);
    return verdict.code;
}

}  // namespace

bool HoldsPemCertificates(const std::string& pem) {
    const ErrorQueueScope errorQueue;
    return PinnedCertificates(pem) != nullptr;
}

bool NothingAt(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

uint32_t VerifyFileTrust(const File& file, const TrustAnchors& anchors, std::string* detail,
                         uint64_t* payloadSize, ReleaseStamp* stamp) {
    return VerifyDescriptor(FileAccess::Descriptor(file), anchors, detail, payloadSize, stamp);
}

uint32_t VerifyFileTrust(const std::string& path, const TrustAnchors& anchors, std::string* detail,
                         ReleaseStamp* stamp) {
    const UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.Valid()) {
        const int error = errno;
        if (detail) *detail = std::string("cannot open the file: ") + std::strerror(error);
        return error == ENOENT || error == ENOTDIR ? kTrustFileNotFound : kTrustAccessDenied;
    }
    return VerifyDescriptor(file.Get(), anchors, detail, nullptr, stamp);
}

}  // namespace platform
