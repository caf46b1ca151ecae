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

// An OID under the UUID arc (X.667), which needs no registration. Its arc is wider than 32 bits,
// which Windows' decoder of OID texts does not take: the attribute is found by its DER.
constexpr char kReleaseStampOid[] = "2.25.325679342799083354612322182005823679594";
constexpr unsigned char kReleaseStampOidDer[] = {0x06, 0x14, 0x69, 0x83, 0xea, 0x83, 0xc7, 0xd4,
                                                 0xd8, 0x99, 0xea, 0x82, 0x87, 0xaa, 0xb5, 0xe7,
                                                 0x9b, 0x89, 0xcb, 0xd2, 0xd8, 0x6a};
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
