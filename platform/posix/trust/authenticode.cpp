#include "platform/posix/trust/authenticode.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <functional>

#include "platform/posix/fd_io.h"
#include "platform/posix/trust/signature_block.h"

namespace platform::openssl {
namespace {

constexpr char kSignedDataOid[] = "1.2.840.113549.1.7.2";
constexpr char kContentTypeOid[] = "1.2.840.113549.1.9.3";
constexpr char kMessageDigestOid[] = "1.2.840.113549.1.9.4";
constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
constexpr char kSpcPeImageDataOid[] = "1.3.6.1.4.1.311.2.1.15";
constexpr char kSpcSpOpusInfoOid[] = "1.3.6.1.4.1.311.2.1.12";
constexpr char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";
constexpr char kEcdsaWithSha256Oid[] = "1.2.840.10045.4.3.2";

using der::kExplicit0;
using der::kOctetString;
using der::kSequence;
using der::kSet;
const Bytes kVersion1 = {0x02, 0x01, 0x01};
const Bytes kNull = {0x05, 0x00};
// SpcPeImageData: no flags, and the file link every signing tool writes, the BMPString
// "<<<Obsolete>>>" (file [2] of SpcLink, unicode [0] of SpcString).
const Bytes kPeImageData = [] {
    Bytes obsolete;
    for (const char c : std::string("<<<Obsolete>>>")) {
        obsolete.insert(obsolete.end(), {0, static_cast<unsigned char>(c)});
    }
    return DerElement(kSequence,
                      {{0x03, 0x01, 0x00},
                       DerElement(kExplicit0, {DerElement(0xa2, {DerElement(0x80, {obsolete})})})});
}();

constexpr size_t kChunkSize = 1 << 18;

// Hands each chunk of bytes [begin, end) of `fd` to `use`; false when one cannot be read.
bool ForEachChunk(int fd, uint64_t begin, uint64_t end,
                  const std::function<void(uint64_t, unsigned char*, size_t)>& use) {
    Bytes buffer(kChunkSize);
    for (uint64_t offset = begin; offset < end;) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(kChunkSize, end - offset));
        if (!ReadAllAt(fd, buffer.data(), size, offset)) return false;
        use(offset, buffer.data(), size);
        offset += size;
    }
    return true;
}

Bytes Sha256(const unsigned char* data, size_t size) {
    Bytes digest(32);
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1) digest.clear();
    return digest;
}

Bytes Joined(const std::vector<Bytes>& parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

Bytes OctetString(const Bytes& bytes) { return DerElement(kOctetString, {bytes}); }

// The content of the SpcIndirectDataContent that names `digest`: what messageDigest covers.
Bytes IndirectDataValue(const ImageDigest& digest) {
    return Joined({DerElement(kSequence, {DerOid(kSpcPeImageDataOid), kPeImageData}),
                   DerElement(kSequence, {kSha256WithNull,
                                          OctetString(Bytes(digest.begin(), digest.end()))})});
}

// The signed attributes in DER order, as a SET OF wants them, each a whole Attribute.
std::vector<Bytes> Attributes(const Bytes& contentValue,
                              const std::vector<SignedAttribute>& extra) {
    std::vector<SignedAttribute> all = {
        {DerOid(kContentTypeOid), DerElement(kSet, {DerOid(kSpcIndirectDataOid)})},
        {DerOid(kMessageDigestOid),
         DerElement(kSet, {OctetString(Sha256(contentValue.data(), contentValue.size()))})},
        // An empty SpcSpOpusInfo: no program name, no URL.
        {DerOid(kSpcSpOpusInfoOid), DerElement(kSet, {DerElement(kSequence, {})})},
    };
    all.insert(all.end(), extra.begin(), extra.end());
    std::vector<Bytes> encoded;
    for (const SignedAttribute& attribute : all) {
        encoded.push_back(DerElement(kSequence, {attribute.type, attribute.values}));
    }
    std::sort(encoded.begin(), encoded.end());
    return encoded;
}

// The signature algorithm the signer info names for the key; empty for a key of another kind.
Bytes SignatureAlgorithm(EVP_PKEY* key) {
    switch (EVP_PKEY_get_base_id(key)) {
        case EVP_PKEY_RSA:
            return DerElement(kSequence, {DerOid(kRsaEncryptionOid), kNull});
        case EVP_PKEY_EC:
            return DerElement(kSequence, {DerOid(kEcdsaWithSha256Oid)});
        default:
            return {};
    }
}

Bytes SignBytes(EVP_PKEY* key, const Bytes& message) {
    const DigestContextPtr context(EVP_MD_CTX_new());
    size_t size = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, message.data(), message.size()) != 1) {
        return {};
    }
    Bytes signature(size);
    if (EVP_DigestSign(context.get(), signature.data(), &size, message.data(), message.size()) !=
        1) {
        return {};
    }
    signature.resize(size);
    return signature;
}

const unsigned char* Begin(const ASN1_STRING* string) { return ASN1_STRING_get0_data(string); }
size_t Length(const ASN1_STRING* string) { return static_cast<size_t>(ASN1_STRING_length(string)); }

bool IsObject(const ASN1_OBJECT* object, const char* oid) {
    return object && Encoded(object, i2d_ASN1_OBJECT) == DerOid(oid);
}

AuthenticodeSignature Problem(const char* text) {
    AuthenticodeSignature signature;
    signature.problem = text;
    return signature;
}

// The content as an SpcIndirectDataContent of a PE image: the value bytes and the digest.
bool ReadIndirectData(const ASN1_STRING* content, AuthenticodeSignature* signature) {
    DerReader whole(Begin(content), Begin(content) + Length(content));
    DerReader indirect, data, digestInfo, digest;
    if (!whole.Read(V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE, &indirect) || !whole.AtEnd()) return false;
    signature->contentValue.assign(indirect.Data(), indirect.Data() + indirect.Size());
    if (!indirect.Read(V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE, &data) ||
        !data.Next(DerOid(kSpcPeImageDataOid)) ||
        !indirect.Read(V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE, &digestInfo) || !indirect.AtEnd() ||
        !(digestInfo.Next(kSha256WithNull) || digestInfo.Next(kSha256)) ||
        !digestInfo.Read(V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING, &digest) || !digestInfo.AtEnd()) {
        return false;
    }
    signature->imageDigest.assign(digest.Data(), digest.Data() + digest.Size());
    return true;
}

}  // namespace

PeReader PeFileReader(int fd) {
    return [fd](uint64_t offset, unsigned char* buffer, uint32_t size) {
        return ReadAllAt(fd, buffer, size, offset);
    };
}

bool DigestImage(int fd, const PeLayout& layout, ImageDigest* digest) {
    const DigestContextPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return false;
    const auto update = [&](uint64_t, unsigned char* data, size_t size) {
        EVP_DigestUpdate(context.get(), data, size);
    };
    const uint64_t checksumEnd = uint64_t{layout.checksumOffset} + 4;
    const uint64_t entryEnd = uint64_t{layout.securityEntryOffset} + 8;
    unsigned int size = 0;
    return ForEachChunk(fd, 0, layout.checksumOffset, update) &&
           ForEachChunk(fd, checksumEnd, layout.securityEntryOffset, update) &&
           ForEachChunk(fd, entryEnd, layout.imageEnd, update) &&
           EVP_DigestFinal_ex(context.get(), digest->data(), &size) == 1 && size == digest->size();
}

bool ComputePeChecksum(int fd, uint64_t size, uint32_t checksumOffset, uint32_t* checksum) {
    uint64_t sum = 0;
    // Chunks are of even size, so each starts at a word; a last odd byte is a word of its own.
    const auto add = [&](uint64_t offset, unsigned char* data, size_t count) {
        for (size_t i = 0; i < count; i += 2) {
            const uint64_t at = offset + i;
            const bool inField = at + 1 >= checksumOffset && at < uint64_t{checksumOffset} + 4;
            const uint32_t word = data[i] | (i + 1 < count ? data[i + 1] << 8 : 0);
            sum += inField ? 0 : word;
            sum = (sum & 0xffff) + (sum >> 16);
        }
    };
    if (!ForEachChunk(fd, 0, size, add)) return false;
    *checksum = static_cast<uint32_t>(((sum & 0xffff) + (sum >> 16)) + size);
    return true;
}

Bytes MakeAuthenticodeSignature(const ImageDigest& digest, X509* signer, EVP_PKEY* key,
                                STACK_OF(X509) * chain, const std::vector<SignedAttribute>& extra,
                                std::string* problem) {
    const Bytes algorithm = SignatureAlgorithm(key);
    if (algorithm.empty()) {
        *problem = "Authenticode signatures are made with RSA or EC keys only";
        return {};
    }
    const Bytes value = IndirectDataValue(digest);
    const Bytes indirect = DerElement(kSequence, {value});
    const std::vector<Bytes> attributes = Attributes(value, extra);
    // The signature covers the attributes as a SET, whatever tag they carry in the signer info.
    const Bytes signature = SignBytes(key, DerElement(kSet, {Joined(attributes)}));
    const unsigned char* issuer = nullptr;
    size_t issuerSize = 0;
    std::vector<Bytes> certificates = {Encoded(signer, i2d_X509)};
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        certificates.push_back(Encoded(sk_X509_value(chain, i), i2d_X509));
    }
    if (signature.empty() ||
        X509_NAME_get0_der(X509_get_issuer_name(signer), &issuer, &issuerSize) != 1) {
        *problem = "cannot sign: " + FirstErrorText("unknown error");
        return {};
    }
    const Bytes signerInfo = DerElement(
        kSequence,
        {kVersion1,
         DerElement(kSequence, {Bytes(issuer, issuer + issuerSize),
                                Encoded(X509_get0_serialNumber(signer), i2d_ASN1_INTEGER)}),
         kSha256WithNull, DerElement(kExplicit0, {Joined(attributes)}), algorithm,
         OctetString(signature)});
    const Bytes signedData = DerElement(
        kSequence,
        {kVersion1, DerElement(kSet, {kSha256WithNull}),
         DerElement(kSequence, {DerOid(kSpcIndirectDataOid), DerElement(kExplicit0, {indirect})}),
         DerElement(kExplicit0, {Joined(certificates)}), DerElement(kSet, {signerInfo})});
    Bytes der =
        DerElement(kSequence, {DerOid(kSignedDataOid), DerElement(kExplicit0, {signedData})});
    // Whatever went in, the verifier's rules hold for what is written.
    const AuthenticodeSignature parsed = ParseAuthenticode(der);
    std::string check = parsed.problem.empty() ? CheckAuthenticode(parsed, digest) : parsed.problem;
    if (!check.empty()) {
        *problem = "cannot make an acceptable signature: " + check;
        der.clear();
    }
    return der;
}

AuthenticodeSignature ParseAuthenticode(const Bytes& der) {
    AuthenticodeSignature signature;
    const unsigned char* cursor = der.data();
    signature.pkcs7.reset(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
    PKCS7* pkcs7 = signature.pkcs7.get();
    if (!pkcs7 || cursor != der.data() + der.size() || !PKCS7_type_is_signed(pkcs7)) {
        return Problem("the signature is not a DER PKCS#7 SignedData");
    }
    STACK_OF(PKCS7_SIGNER_INFO)* signerInfos = PKCS7_get_signer_info(pkcs7);
    if (sk_PKCS7_SIGNER_INFO_num(signerInfos) != 1) {
        return Problem("the signature does not have exactly one signer");
    }
    const PKCS7_SIGNER_INFO* signerInfo = sk_PKCS7_SIGNER_INFO_value(signerInfos, 0);
    if (OBJ_obj2nid(signerInfo->digest_alg->algorithm) != NID_sha256) {
        return Problem("the digest is not SHA-256");
    }
    const PKCS7* content = pkcs7->d.sign->contents;
    if (!content || !IsObject(content->type, kSpcIndirectDataOid) || !content->d.other ||
        content->d.other->type != V_ASN1_SEQUENCE ||
        !ReadIndirectData(content->d.other->value.sequence, &signature)) {
        return Problem("the signature's content is not the digest of a PE image");
    }
    STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7, nullptr, 0);
    signature.signer = sk_X509_value(signers, 0);
    sk_X509_free(signers);
    if (!signature.signer) return Problem("the signer's certificate is missing");
    signature.problem = CheckAuthenticodeBlock(der, pkcs7, signature.signer);
    return signature;
}

std::string CheckAuthenticode(const AuthenticodeSignature& signature, const ImageDigest& digest) {
    if (!std::equal(digest.begin(), digest.end(), signature.imageDigest.begin(),
                    signature.imageDigest.end())) {
        return "the program does not match the digest its signature names";
    }
    PKCS7_SIGNER_INFO* signerInfo =
        sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signature.pkcs7.get()), 0);
    const ASN1_TYPE* contentType = PKCS7_get_signed_attribute(signerInfo, NID_pkcs9_contentType);
    if (!contentType || contentType->type != V_ASN1_OBJECT ||
        !IsObject(contentType->value.object, kSpcIndirectDataOid)) {
        return "the signed attributes do not name the content's type";
    }
    const ASN1_OCTET_STRING* messageDigest = PKCS7_digest_from_attributes(signerInfo->auth_attr);
    const Bytes contentDigest =
        Sha256(signature.contentValue.data(), signature.contentValue.size());
    if (!messageDigest || Bytes(Begin(messageDigest),
                                Begin(messageDigest) + Length(messageDigest)) != contentDigest) {
        return "the signed attributes do not match the content";
    }
    unsigned char* attributes = nullptr;
    const int size = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(signerInfo->auth_attr),
                                   &attributes, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    const DigestContextPtr context(EVP_MD_CTX_new());
    const bool verified = size > 0 && context &&
                          EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr,
                                               X509_get0_pubkey(signature.signer)) == 1 &&
                          EVP_DigestVerify(context.get(), Begin(signerInfo->enc_digest),
                                           Length(signerInfo->enc_digest), attributes,
                                           static_cast<size_t>(size)) == 1;
    OPENSSL_free(attributes);
    return verified ? std::string()
                    : "the signature does not match its signed attributes: " +
                          FirstErrorText("unknown error");
}

}  // namespace platform::openssl
