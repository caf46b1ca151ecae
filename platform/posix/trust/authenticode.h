// Authenticode signatures of PE programs (platform/trust/pe_image.h), made and checked with
// libcrypto. The signature is a PKCS#7 SignedData, version 1, whose content is an
// SpcIndirectDataContent naming the image's SHA-256 digest; its signer signs the attributes
// contentType, messageDigest (over the content's value, without its tag and length) and
// SpcSpOpusInfo, and any more the publisher adds. Internal to the trust units.
#pragma once

#include <openssl/x509.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/trust/der.h"
#include "platform/posix/trust/openssl_handles.h"
#include "platform/trust/pe_image.h"

namespace platform::openssl {

using ImageDigest = std::array<unsigned char, 32>;

// Reads the file open at `fd` with pread: the descriptor's offset stays.
PeReader PeFileReader(int fd);

// The image digest of the file at `fd` laid out as `layout` says: every byte up to the
// certificate table but the checksum and the security directory entry. The layout's sections
// follow each other, so file order is the order the format prescribes. False when the file
// cannot be read.
bool DigestImage(int fd, const PeLayout& layout, ImageDigest* digest);

// The PE checksum of the first `size` bytes at `fd`, the checksum field counted as zero.
bool ComputePeChecksum(int fd, uint64_t size, uint32_t checksumOffset, uint32_t* checksum);

// One signed attribute: its type and the SET element of its values.
struct SignedAttribute {
    Bytes type;
    Bytes values;
};

// The DER of a signature over `digest` made with `key` for `signer`, carrying `signer` and the
// certificates of `chain`; `extra` are signed attributes beside the three every signature has.
// Empty, with the reason in `problem`, when it cannot be made.
Bytes MakeAuthenticodeSignature(const ImageDigest& digest, X509* signer, EVP_PKEY* key,
                                STACK_OF(X509) * chain, const std::vector<SignedAttribute>& extra,
                                std::string* problem);

struct AuthenticodeSignature {
    std::string problem;  // empty when the block is an Authenticode signature this verifier reads
    Pkcs7Ptr pkcs7;
    X509* signer = nullptr;  // owned by `pkcs7`
    Bytes imageDigest;       // the digest the content names
    Bytes contentValue;      // the bytes that messageDigest covers
};

// Parses `der` and checks what the signature may hold (signature_block.h) and that its content
// is an SpcIndirectDataContent of a PE image with a SHA-256 digest.
AuthenticodeSignature ParseAuthenticode(const Bytes& der);

// Empty when `signature` signs the image whose digest is `digest`; otherwise why not.
std::string CheckAuthenticode(const AuthenticodeSignature& signature, const ImageDigest& digest);

}  // namespace platform::openssl
