#include "platform/trust/trust_provider.h"

#include <windows.h>
// after windows.h, which they build on
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/trust/pe_image.h"
#include "platform/trust/trust_common.h"
#include "platform/win32/file_access.h"

// Windows' Authenticode provider checks the digest, the signer and its path; what it lets pass
// on request only, or not at all, is checked here: the signature's layout (pe_image.h), the
// parts of the signature its signature does not cover, and the pin. The release stamp is read
// here too. The file is read through the caller's handle alone.

namespace platform {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Reads at an offset, which moves the position of a synchronous handle.
bool ReadAt(HANDLE file, uint64_t offset, unsigned char* buffer, uint32_t size) {
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file, buffer, size, &got, &at) || got == 0) return false;
        buffer += got;
        offset += got;
        size -= got;
    }
    return true;
}

struct Verdict {
    Verdict(uint32_t code = kTrustOk, std::string detail = {})
        : code(code), detail(std::move(detail)) {}

    uint32_t code;
    std::string detail;
    ReleaseStamp stamp;
};

struct MessageClose {
    void operator()(HCRYPTMSG message) const { CryptMsgClose(message); }
};
using MessagePtr = std::unique_ptr<void, MessageClose>;

struct CertificateFree {
    void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
using CertificatePtr = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// A parameter of `message` as its bytes; empty when it has none.
std::vector<unsigned char> MessageParameter(HCRYPTMSG message, DWORD type, DWORD index) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &size)) return {};
    std::vector<unsigned char> value(size);
    if (!CryptMsgGetParam(message, type, index, value.data(), &size)) return {};
    value.resize(size);
    return value;
}

DWORD MessageCount(HCRYPTMSG message, DWORD type) {
    DWORD count = 0;
    DWORD size = sizeof count;
    return CryptMsgGetParam(message, type, 0, &count, &size) ? count : MAXDWORD;
}

// Empty when the signature has one SHA-256 signer and carries nothing its signature does not
// cover but certificates (which must be on the signer's path, see CheckPath): no unsigned
// attributes, where nested signatures and timestamps would travel, and no revocation lists.
std::string CheckMessage(const std::vector<unsigned char>& der, MessagePtr* decoded) {
    MessagePtr message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message || !CryptMsgUpdate(message.get(), der.data(), der.size(), TRUE) ||
        MessageCount(message.get(), CMSG_TYPE_PARAM) != CMSG_SIGNED) {
        return "the signature is not a PKCS#7 SignedData";
    }
    if (MessageCount(message.get(), CMSG_SIGNER_COUNT_PARAM) != 1) {
        return "the signature does not have exactly one signer";
    }
    if (MessageCount(message.get(), CMSG_CRL_COUNT_PARAM) != 0) {
        return "the signature carries revocation data";
    }
    const std::vector<unsigned char> signer =
        MessageParameter(message.get(), CMSG_SIGNER_INFO_PARAM, 0);
    if (signer.size() < sizeof(CMSG_SIGNER_INFO)) return "the signer cannot be read";
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(signer.data());
    if (info->UnauthAttrs.cAttr != 0) return "the signature carries unsigned attributes";
    if (!info->HashAlgorithm.pszObjId ||
        std::strcmp(info->HashAlgorithm.pszObjId, szOID_NIST_sha256) != 0) {
        return "the digest is not SHA-256";
    }
    *decoded = std::move(message);
    return {};
}

// The stamp among the signer's authenticated attributes, which its signature covers, read from
// the signer's DER as on Linux. A damaged stamp was signed so, and no publisher's tool makes one.
Verdict ReadSignedStamp(HCRYPTMSG message) {
    const std::vector<unsigned char> signer = MessageParameter(message, CMSG_ENCODED_SIGNER, 0);
    Verdict verdict;
    if (FindSignerReleaseStamp(signer.data(), signer.size(), &verdict.stamp) ==
        StampReading::Malformed) {
        return {kTrustNoSignature, "the signature's release stamp is malformed"};
    }
    return verdict;
}

// The certificates of a pin's text; empty when it holds none or a damaged one.
std::vector<CertificatePtr> PemCertificates(const std::string& pem) {
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
    static const std::string kEnd = "-----END CERTIFICATE-----";
    std::vector<CertificatePtr> certificates;
    for (size_t begin = pem.find(kBegin); begin != std::string::npos;
         begin = pem.find(kBegin, begin)) {
        const size_t end = pem.find(kEnd, begin);
        if (end == std::string::npos) return {};
        const char* block = pem.data() + begin;
        const DWORD blockSize = static_cast<DWORD>(end + kEnd.size() - begin);
        DWORD size = 0;
        if (!CryptStringToBinaryA(block, blockSize, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                  nullptr, nullptr)) {
            return {};
        }
        std::vector<BYTE> der(size);
        CertificatePtr certificate;
        if (CryptStringToBinaryA(block, blockSize, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                 nullptr, nullptr)) {
            certificate.reset(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size));
        }
        if (!certificate) return {};
        certificates.push_back(std::move(certificate));
        begin = end + kEnd.size();
    }
    return certificates;
}

bool SameBytes(PCCERT_CONTEXT certificate, const unsigned char* der, size_t size) {
    return certificate->cbCertEncoded == size &&
           std::memcmp(certificate->pbCertEncoded, der, size) == 0;
}

// Whether the certificate encoded as `der` is on `path`: equal in every byte, since equal
// issuer and serial number would let a look-alike with another key pass.
bool OnPath(const CERT_SIMPLE_CHAIN& path, const unsigned char* der, size_t size) {
    for (DWORD i = 0; i < path.cElement; ++i) {
        if (SameBytes(path.rgpElement[i]->pCertContext, der, size)) return true;
    }
    return false;
}

struct LocalFreeDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

// As on Linux: the signer must name code signing among its extended key usages and, when it
// restricts its key usage, digital signatures; a certificate above it that restricts its
// extended key usage must name code signing or any usage. The provider checks no usage on
// request (and Wine's none at all).
bool ServesCodeSigning(PCCERT_CONTEXT certificate, bool signer) {
    CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension);
    if (!extension) return !signer;
    CERT_ENHKEY_USAGE* usage = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &usage,
                             &size)) {
        return false;
    }
    const std::unique_ptr<CERT_ENHKEY_USAGE, LocalFreeDeleter> owned(usage);
    bool allowed = false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        const char* id = usage->rgpszUsageIdentifier[i];
        allowed = allowed || std::strcmp(id, szOID_PKIX_KP_CODE_SIGNING) == 0 ||
                  (!signer && std::strcmp(id, szOID_ANY_ENHANCED_KEY_USAGE) == 0);
    }
    BYTE keyUsage = 0;
    return allowed && (!signer || !CertGetIntendedKeyUsage(X509_ASN_ENCODING, info, &keyUsage, 1) ||
                       (keyUsage & CERT_DIGITAL_SIGNATURE_KEY_USAGE));
}

// The path Windows built for the signer: the signature may carry no certificate off it, every
// certificate on it must be within its validity and serve code signing, and with a pin it must lead
// through one of the pin's certificates. `rootUnknown`: Windows refused the path for its unknown
// root, and its status must show no other fault.
Verdict CheckPath(const CERT_CHAIN_CONTEXT* chain, HCRYPTMSG message, const TrustAnchors& anchors,
                  bool rootUnknown) {
    if (!chain || chain->cChain == 0) return {kTrustUntrustedRoot, "the signer has no path"};
    const CERT_SIMPLE_CHAIN& path = *chain->rgpChain[0];
    const DWORD carried = MessageCount(message, CMSG_CERT_COUNT_PARAM);
    for (DWORD i = 0; i < carried; ++i) {
        const std::vector<unsigned char> der = MessageParameter(message, CMSG_CERT_PARAM, i);
        if (!OnPath(path, der.data(), der.size())) {
            return {kTrustNoSignature,
                    "the signature carries a certificate that is not on the signer's path"};
        }
    }
    for (DWORD i = 0; i < path.cElement; ++i) {
        // Windows' own provider answers so too; Wine's checks no times.
        if (CertVerifyTimeValidity(nullptr, path.rgpElement[i]->pCertContext->pCertInfo) != 0) {
            return {kTrustExpired, "a certificate on the signer's path is outside its validity"};
        }
        if (!ServesCodeSigning(path.rgpElement[i]->pCertContext, i == 0)) {
            return {kTrustWrongUsage, i == 0
                                          ? "the signer's certificate does not allow code signing"
                                          : "a certificate on the signer's path restricts its "
                                            "usage to other purposes"};
        }
    }
    if (!anchors.pinned) return {};
    if (!anchors.pinProblem.empty()) return {kTrustUntrustedRoot, anchors.pinProblem};
    if (rootUnknown &&
        (chain->TrustStatus.dwErrorStatus & ~DWORD{CERT_TRUST_IS_UNTRUSTED_ROOT}) != 0) {
        return {kTrustUntrustedRoot, "the signer's path has other faults than its root"};
    }
    for (const CertificatePtr& pinned : PemCertificates(anchors.pinnedPem)) {
        if (OnPath(path, pinned->pbCertEncoded, pinned->cbCertEncoded)) return {};
    }
    return {kTrustUntrustedRoot, "the signer's path leads through no pinned certificate"};
}

// The provider's state from its verification until it is closed again.
class TrustState {
public:
    TrustState(HANDLE file, std::wstring path) : path_(std::move(path)) {
        file_.cbStruct = sizeof file_;
        file_.pcwszFilePath = path_.c_str();
        file_.hFile = file;
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        // Nothing is fetched from the network, neither revocation data nor missing issuers.
        data_.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
        result_ = static_cast<uint32_t>(WinVerifyTrust(nullptr, &action_, &data_));
    }
    ~TrustState() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(nullptr, &action_, &data_);
    }
    TrustState(const TrustState&) = delete;
    TrustState& operator=(const TrustState&) = delete;

    uint32_t Result() const { return result_; }

    const CERT_CHAIN_CONTEXT* SignerChain() const {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        return signer ? signer->pChainContext : nullptr;
    }

private:
    std::wstring path_;
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
    uint32_t result_ = 0;
};

// The provider wants the file's name beside its handle.
std::wstring HandlePath(HANDLE file) {
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(file, &path[0], path.size(),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    path.resize(length < path.size() ? length : 0);
    return path;
}

Verdict Verify(HANDLE file, uint64_t size, const TrustAnchors& anchors) {
    const PeSignature signature =
        ReadPeSignature([file](uint64_t offset, unsigned char* buffer,
                               uint32_t count) { return ReadAt(file, offset, buffer, count); },
                        size);
    if (!signature.problem.empty()) return {kTrustNoSignature, signature.problem};
    MessagePtr message;
    if (std::string problem = CheckMessage(signature.der, &message); !problem.empty()) {
        return {kTrustNoSignature, problem};
    }
    const std::wstring path = HandlePath(file);
    if (path.empty()) return {kTrustAccessDenied, "the file's name cannot be found"};
    const TrustState state(file, path);
    const uint32_t code = state.Result();
    const bool rootUnknown = code == kTrustUntrustedRoot && anchors.pinned;
    if (code != kTrustOk && !rootUnknown) {
        char text[64];
        std::snprintf(text, sizeof text, "the trust provider answered 0x%08lx",
                      static_cast<unsigned long>(code));
        return {code, text};
    }
    const Verdict checked = CheckPath(state.SignerChain(), message.get(), anchors, rootUnknown);
    return checked.code == kTrustOk ? ReadSignedStamp(message.get()) : checked;
}

// Offset reads and the provider move the handle's position; the caller's is put back.
uint32_t VerifyHandle(HANDLE file, const TrustAnchors& anchors, std::string* detail,
                      uint64_t* payloadSize, ReleaseStamp* stamp) {
    const LARGE_INTEGER here{};
    LARGE_INTEGER position;
    LARGE_INTEGER size{};
    Verdict verdict;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) ||
        !SetFilePointerEx(file, here, &position, FILE_CURRENT)) {
        verdict = {kTrustNoSignature, "the file cannot be read"};
    } else {
        verdict = Verify(file, static_cast<uint64_t>(size.QuadPart), anchors);
        SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
    }
    if (detail) *detail = std::move(verdict.detail);
    if (verdict.code != kTrustOk) return verdict.code;
    // Nothing is cut off: the signature is part of the program.
    if (payloadSize) *payloadSize = size.QuadPart;
    if (stamp) *stamp = std::move(verdict.stamp);
    return verdict.code;
}

}  // namespace

bool HoldsPemCertificates(const std::string& pem) { return !PemCertificates(pem).empty(); }

bool NothingAt(const std::string& path) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

uint32_t VerifyFileTrust(const File& file, const TrustAnchors& anchors, std::string* detail,
                         uint64_t* payloadSize, ReleaseStamp* stamp) {
    return VerifyHandle(FileAccess::Handle(file), anchors, detail, payloadSize, stamp);
}

uint32_t VerifyFileTrust(const std::string& path, const TrustAnchors& anchors, std::string* detail,
                         ReleaseStamp* stamp) {
    const File file = File::OpenForReading(path);
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        if (detail) *detail = "cannot open the file: error " + std::to_string(error);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kTrustFileNotFound
                                                                              : kTrustAccessDenied;
    }
    return VerifyHandle(FileAccess::Handle(file), anchors, detail, nullptr, stamp);
}

}  // namespace platform
