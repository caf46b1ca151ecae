#include "platform/posix/trust/signature_block.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <cstring>

namespace platform::openssl {
namespace {

// The content of each element of a DER structure in turn.
class DerReader {
public:
    DerReader() = default;
    DerReader(const unsigned char* begin, const unsigned char* end) : next_(begin), end_(end) {}

    bool AtEnd() const { return next_ == end_; }

    // Reads the next element when its class and tag are these: false otherwise, with nothing
    // read.
    bool Read(int objectClass, int tag, DerReader* content = nullptr) {
        if (next_ == end_) return false;
        const unsigned char* cursor = next_;
        long length = 0;
        int gotTag = 0;
        int gotClass = 0;
        const int info = ASN1_get_object(&cursor, &length, &gotTag, &gotClass, end_ - next_);
        // 0x80: damage; bit 0: indefinite length, which DER never uses.
        if ((info & 0x81) != 0 || gotClass != objectClass || gotTag != tag) return false;
        if (content) *content = DerReader(cursor, cursor + length);
        next_ = cursor + length;
        return true;
    }

    bool Holds(const unsigned char* bytes, size_t size) const {
        return static_cast<size_t>(end_ - next_) == size && std::memcmp(next_, bytes, size) == 0;
    }

private:
    const unsigned char* next_ = nullptr;
    const unsigned char* end_ = nullptr;
};

// The AlgorithmIdentifier of SHA-256, with NULL parameters and without.
const unsigned char kSha256WithNull[] = {0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00};
const unsigned char kSha256[] = {0x30, 0x0b, 0x06, 0x09, 0x60, 0x86, 0x48,
                                 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

bool IsCanonical(const std::vector<unsigned char>& der, CMS_ContentInfo* cms) {
    unsigned char* encoded = nullptr;
    const int size = i2d_CMS_ContentInfo(cms, &encoded);
    const bool same = size > 0 && static_cast<size_t>(size) == der.size() &&
                      std::memcmp(encoded, der.data(), der.size()) == 0;
    OPENSSL_free(encoded);
    return same;
}

// The SignedData's own fields up to its signer infos: one digest algorithm, X.509 certificates
// only (other choices are context-tagged) and no revocation data.
std::string CheckSignedDataFields(const std::vector<unsigned char>& der) {
    DerReader block(der.data(), der.data() + der.size());
    DerReader contentInfo, explicitContent, signedData, digestAlgorithms, certificates;
    if (!block.Read(V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE, &contentInfo) ||
        !contentInfo.Read(V_ASN1_UNIVERSAL, V_ASN1_OBJECT) ||
        !contentInfo.Read(V_ASN1_CONTEXT_SPECIFIC, 0, &explicitContent) ||
        !explicitContent.Read(V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE, &signedData) ||
        !signedData.Read(V_ASN1_UNIVERSAL, V_ASN1_INTEGER) ||
        !signedData.Read(V_ASN1_UNIVERSAL, V_ASN1_SET, &digestAlgorithms) ||
        !signedData.Read(V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE)) {
        return "the signature is not a SignedData";
    }
    if (!digestAlgorithms.Holds(kSha256WithNull, sizeof kSha256WithNull) &&
        !digestAlgorithms.Holds(kSha256, sizeof kSha256)) {
        return "the signature names other digest algorithms than SHA-256";
    }
    if (signedData.Read(V_ASN1_CONTEXT_SPECIFIC, 0, &certificates)) {
        while (certificates.Read(V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE)) {
        }
        if (!certificates.AtEnd()) return "the signature carries other certificates than X.509";
    }
    if (signedData.Read(V_ASN1_CONTEXT_SPECIFIC, 1)) return "the signature carries revocation data";
    return {};
}

bool HasNoParameters(const X509_ALGOR* algorithm) {
    int type = V_ASN1_UNDEF;
    X509_ALGOR_get0(nullptr, &type, nullptr, algorithm);
    return type == V_ASN1_UNDEF || type == V_ASN1_NULL;
}

// The signer's identifier must repeat the certificate's own bytes: matching it compares names
// case- and space-insensitively, which would let padding through.
bool IdentifiesExactly(CMS_SignerInfo* signerInfo, X509* signer) {
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(signerInfo, &keyId, &issuer, &serial) != 1) return false;
    if (keyId) return CMS_SignerInfo_cert_cmp(signerInfo, signer) == 0;
    const unsigned char* own = nullptr;
    const unsigned char* named = nullptr;
    size_t ownSize = 0;
    size_t namedSize = 0;
    return X509_NAME_get0_der(X509_get_issuer_name(signer), &own, &ownSize) == 1 &&
           X509_NAME_get0_der(issuer, &named, &namedSize) == 1 && ownSize == namedSize &&
           std::memcmp(own, named, ownSize) == 0 &&
           ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(signer)) == 0;
}

}  // namespace

std::string CheckSignatureBlock(const std::vector<unsigned char>& der, CMS_ContentInfo* cms,
                                X509* signer) {
    if (!IsCanonical(der, cms)) return "the signature is not in canonical DER";
    if (std::string problem = CheckSignedDataFields(der); !problem.empty()) return problem;
    if (OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_pkcs7_data) {
        return "the signature is not over plain data";
    }
    CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    if (CMS_unsigned_get_attr_count(signerInfo) >= 0) {
        return "the signature carries unsigned attributes";
    }
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(signerInfo, nullptr, nullptr, &digest, &signature);
    if (!HasNoParameters(digest) || !HasNoParameters(signature)) {
        return "the signature carries algorithm parameters";
    }
    if (!IdentifiesExactly(signerInfo, signer)) {
        return "the signer is not named by its certificate's own bytes";
    }
    return {};
}

}  // namespace platform::openssl
