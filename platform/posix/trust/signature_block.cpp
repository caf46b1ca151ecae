#include "platform/posix/trust/signature_block.h"

#include <openssl/objects.h>

#include <cstring>

#include "platform/posix/trust/der.h"

namespace platform::openssl {
namespace {

// The SignedData's own fields up to its signer infos: one digest algorithm, X.509 certificates
// only (other choices are context-tagged) and no revocation data.
std::string CheckSignedDataFields(const Bytes& der) {
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
    if (!digestAlgorithms.Holds(kSha256WithNull.data(), kSha256WithNull.size()) &&
        !digestAlgorithms.Holds(kSha256.data(), kSha256.size())) {
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
bool NamesExactly(const X509_NAME* issuer, const ASN1_INTEGER* serial, X509* signer) {
    const unsigned char* own = nullptr;
    const unsigned char* named = nullptr;
    size_t ownSize = 0;
    size_t namedSize = 0;
    return X509_NAME_get0_der(X509_get_issuer_name(signer), &own, &ownSize) == 1 &&
           X509_NAME_get0_der(issuer, &named, &namedSize) == 1 && ownSize == namedSize &&
           std::memcmp(own, named, ownSize) == 0 &&
           ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(signer)) == 0;
}

bool IdentifiesExactly(CMS_SignerInfo* signerInfo, X509* signer) {
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(signerInfo, &keyId, &issuer, &serial) != 1) return false;
    if (keyId) return CMS_SignerInfo_cert_cmp(signerInfo, signer) == 0;
    return NamesExactly(issuer, serial, signer);
}

// What both kinds of block demand of the whole and of their one signer.
std::string CheckBlock(const Bytes& der, const Bytes& reencoded, bool unsignedAttributes,
                       const X509_ALGOR* digest, const X509_ALGOR* signature,
                       bool identifiesExactly) {
    if (reencoded != der) return "the signature is not in canonical DER";
    if (std::string problem = CheckSignedDataFields(der); !problem.empty()) return problem;
    if (unsignedAttributes) return "the signature carries unsigned attributes";
    if (!HasNoParameters(digest) || !HasNoParameters(signature)) {
        return "the signature carries algorithm parameters";
    }
    if (!identifiesExactly) return "the signer is not named by its certificate's own bytes";
    return {};
}

}  // namespace

std::string CheckSignatureBlock(const Bytes& der, CMS_ContentInfo* cms, X509* signer) {
    if (OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_pkcs7_data) {
        return "the signature is not over plain data";
    }
    CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(signerInfo, nullptr, nullptr, &digest, &signature);
    return CheckBlock(der, Encoded(cms, i2d_CMS_ContentInfo),
                      CMS_unsigned_get_attr_count(signerInfo) >= 0, digest, signature,
                      IdentifiesExactly(signerInfo, signer));
}

std::string CheckAuthenticodeBlock(const Bytes& der, PKCS7* pkcs7, X509* signer) {
    const PKCS7_SIGNER_INFO* signerInfo =
        sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pkcs7), 0);
    return CheckBlock(der, Encoded(pkcs7, i2d_PKCS7), signerInfo->unauth_attr != nullptr,
                      signerInfo->digest_alg, signerInfo->digest_enc_alg,
                      NamesExactly(signerInfo->issuer_and_serial->issuer,
                                   signerInfo->issuer_and_serial->serial, signer));
}

}  // namespace platform::openssl
