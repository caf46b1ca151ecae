// The release stamp a publisher signs into a patch's signature beside its payload: the product
// the patch is for and its release number, which grows with every patch of that product. The
// update-information answer is unauthenticated, so only what the signature covers can tell a
// patch of another product, or an older patch of this one, from the patch a player needs. It
// travels as one signed attribute of type kReleaseStampOid with a single value,
//   SEQUENCE { product UTF8String, release INTEGER }
// in DER. Shared by the verifier of each system and the signer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// An OID of Microsoft's arc for identifiers made of a GUID, which needs no registration: the
// GUID's 128 bits in seven arcs of at most 24 bits. Wine's verifier decodes the signed attributes
// and checks the signature over their encoding anew, with every arc held in 32 bits, so an arc of
// 128 bits (the UUID arc 2.25) would fail every stamped signature there. The attribute is found by
// its DER, which needs no decoder of OID texts.
constexpr char kReleaseStampOid[] =
    "1.2.840.113556.1.8000.2554.62723.36690.49565.16515.43627.10279065.7646314";
constexpr unsigned char kReleaseStampOidDer[] = {
    0x06, 0x22, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x14, 0x01, 0xbe, 0x40, 0x93,
    0x7a, 0x83, 0xea, 0x03, 0x82, 0x9e, 0x52, 0x83, 0x83, 0x1d, 0x81, 0x81,
    0x03, 0x82, 0xd4, 0x6b, 0x84, 0xf3, 0xb1, 0x19, 0x83, 0xd2, 0xd8, 0x6a};
constexpr size_t kMaxProductNameSize = 100;

struct ReleaseStamp {
    std::string product;
    uint32_t release = 0;  // 0: the signature carries no stamp

    bool Present() const { return release != 0; }
};

// Empty when `stamp` may be signed: a product name of 1 to kMaxProductNameSize bytes of UTF-8
// without control characters, and a release from 1 up; otherwise why not.
std::string CheckReleaseStamp(const ReleaseStamp& stamp);

// The DER of the attribute's value.
std::vector<unsigned char> EncodeReleaseStamp(const ReleaseStamp& stamp);

// Reads the attribute's value from exactly the `size` bytes at `der`: false unless they are the
// DER the encoder makes of a stamp that CheckReleaseStamp accepts.
bool DecodeReleaseStamp(const unsigned char* der, size_t size, ReleaseStamp* stamp);

enum class StampReading { Absent, Read, Malformed };

// Reads the stamp among `size` bytes of DER Attributes, one after the other (the content of a
// signer's SET of signed attributes): Malformed when the stamp's attribute is there twice, or
// with other than one value that DecodeReleaseStamp reads, or when the bytes cannot be walked.
StampReading FindReleaseStamp(const unsigned char* attributes, size_t size, ReleaseStamp* stamp);

// The same among the signed attributes of the DER SignerInfo (CMS and PKCS#7 alike) of `size`
// bytes at `signerInfo`.
StampReading FindSignerReleaseStamp(const unsigned char* signerInfo, size_t size,
                                    ReleaseStamp* stamp);

}  // namespace platform
