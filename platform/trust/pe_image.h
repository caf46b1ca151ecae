// The parts of a PE program (PE32 or PE32+) that its Authenticode signature concerns. The
// signature is one WIN_CERTIFICATE in the certificate table that the security data directory
// names by file offset; the image digest leaves out the header's checksum, that directory entry
// and the table. So whatever else the table holds, whatever follows it, and whatever the
// digest's walk over the sections would pass over, would travel unchecked: the table must hold
// the signature alone, up to its padding, and end the file, and the sections must follow the
// headers and each other without a gap. Shared by the verifier of each system and the Linux
// signer; internal to the trust units.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// A signature with its certificates is a few KiB; a larger table is hostile.
constexpr uint32_t kMaxCertificateTableSize = 1u << 20;
// WIN_CERTIFICATE's dwLength, wRevision and wCertificateType.
constexpr uint32_t kCertificateHeaderSize = 8;
constexpr uint32_t kCertificateRevision = 0x0200;
constexpr uint32_t kPkcsSignedData = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

// Reads `size` bytes at `offset` of the file; false when they cannot all be read.
using PeReader = std::function<bool(uint64_t offset, unsigned char* buffer, uint32_t size)>;

struct PeLayout {
    std::string problem;               // empty when the headers and sections are as described above
    uint32_t checksumOffset = 0;       // file offset of the optional header's CheckSum
    uint32_t securityEntryOffset = 0;  // file offset of the security directory entry
    uint32_t tableOffset = 0;          // the entry's value: the certificate table's offset
    uint32_t tableSize = 0;            // and size; 0 when the program is not signed
    uint64_t imageEnd = 0;             // where the digested image ends: the table or the end
};

// Whether the file begins as every PE program does ("MZ"); such a file is signed and verified
// the Authenticode way or not at all.
bool LooksLikePeProgram(const PeReader& read, uint64_t fileSize);

// The layout of the `fileSize` bytes `read` gives. Every offset and length is checked against
// the file's size.
PeLayout ReadPeLayout(const PeReader& read, uint64_t fileSize);

struct PeSignature {
    std::string problem;  // empty when the table holds exactly one signature
    PeLayout layout;
    std::vector<unsigned char> der;  // the PKCS#7 SignedData, without the padding
};

PeSignature ReadPeSignature(const PeReader& read, uint64_t fileSize);

// The certificate table holding `der` as its one signature, padded with zeros to 8 bytes.
std::vector<unsigned char> CertificateTable(const std::vector<unsigned char>& der);

uint32_t LittleEndian(const unsigned char* bytes, int size);
void PutLittleEndian(uint32_t value, unsigned char* bytes, int size);

}  // namespace platform
