// The appended-signature layout of a signed file:
//   payload | DER CMS SignedData | 12-byte descriptor | "~Module signature appended~\n"
// The descriptor is the one the Linux kernel uses for signed modules: algorithm 0, hash 0,
// id type 2 (PKCS#7), signer length 0, key id length 0, three zero bytes, then the length of
// the CMS blob as a 32-bit big-endian number. Executables stay runnable with it appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr char kSignatureMarker[] = "~Module signature appended~\n";
constexpr size_t kSignatureMarkerSize = sizeof kSignatureMarker - 1;
constexpr size_t kSignatureDescriptorSize = 12;
// A CMS blob with a signer and its chain is a few KiB; a larger length is hostile.
constexpr uint32_t kMaxSignatureSize = 1u << 20;

struct AppendedSignature {
    std::string problem;  // empty when the trailer was found and read
    uint64_t payloadSize = 0;
    std::vector<unsigned char> cms;
};

// Reads the trailer of the regular file open at `fd` with pread (the offset stays). Every
// length is checked against the file's size; `problem` says why a file has no usable trailer.
AppendedSignature ReadAppendedSignature(int fd);

// The bytes to append to a payload: the CMS blob, the descriptor and the marker.
std::vector<unsigned char> BuildSignatureTrailer(const std::vector<unsigned char>& cms);

}  // namespace platform
