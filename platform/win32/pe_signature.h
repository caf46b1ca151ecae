// The Authenticode signature of a PE program: one WIN_CERTIFICATE in the certificate table that
// the security data directory names by file offset. The program's digest leaves the table out,
// so whatever else the table holds, and whatever follows it, would travel unchecked: the table
// must hold the signature alone, up to its padding, and end the file. Internal to the trust
// units.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A signature with its certificates is a few KiB; a larger table is hostile.
constexpr uint32_t kMaxCertificateTableSize = 1u << 20;

struct PeSignature {
    std::string problem;             // empty when the table holds exactly one signature
    std::vector<unsigned char> der;  // the PKCS#7 SignedData, without the padding
};

// Reads the signature of the `fileSize` bytes open at `file` through reads at offsets, which
// move the position of a synchronous handle. Every offset and length is checked against the
// file's size.
PeSignature ReadPeSignature(HANDLE file, uint64_t fileSize);

}  // namespace platform
