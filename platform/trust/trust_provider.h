// Code-signing trust: whether a file carries a signature that verifies over all its other bytes
// and whose signer is a code-signing certificate chaining to a trusted root. A PE program
// carries an Authenticode signature (trust/pe_image.h): on Windows the system's trust provider
// checks it, on Linux libcrypto (posix/trust/authenticode.h), by the same rules. On Linux any
// other file carries an appended signature (posix/trust/appended_signature.h). The
// signature may hold nothing its signature does not cover and the path does not need; every
// certificate on the path that restricts its usage must allow code signing, and on Linux keys
// and signatures must reach OpenSSL's security level 2. Answers are 0 or 32-bit codes with the
// desktop trust provider's meanings.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/trust/release_stamp.h"

namespace platform {

constexpr uint32_t kTrustOk = 0;
constexpr uint32_t kTrustNoSignature = 0x800B0100;    // none, or a malformed one
constexpr uint32_t kTrustBadDigest = 0x80096010;      // the signature does not match the bytes
constexpr uint32_t kTrustUntrustedRoot = 0x800B0109;  // no chain to a trusted root
constexpr uint32_t kTrustExpired = 0x800B0101;        // a certificate outside its validity
constexpr uint32_t kTrustWrongUsage = 0x800B0110;     // the signer may not sign code
constexpr uint32_t kTrustFileNotFound = 0x80070002;   // the path names no file
constexpr uint32_t kTrustAccessDenied = 0x80070005;   // the file exists but cannot be opened

// Where trusted roots come from. By default the system's store: on Linux OpenSSL's default verify
// paths (so SSL_CERT_FILE and SSL_CERT_DIR select another store). With a pin, the signer must
// chain to one of the pin's certificates (any of them, not only self-signed ones, counts as an
// anchor) and the default store does not suffice; a pin that yields no certificate trusts
// nothing. On Windows the signature must carry the path up to the pinned certificate.
struct TrustAnchors {
    bool pinned = false;
    std::string pinnedPem;   // the pin's certificates, as read once
    std::string pinProblem;  // why the pin trusts nothing; empty when it is usable
};

// The anchors of the pin file at `path`, a symbolic link followed: read once, without ever
// blocking (a FIFO is refused, not waited for). Anything but a regular file of at most 1 MiB
// holding PEM certificates and nothing damaged trusts nothing, and `pinProblem` says why.
TrustAnchors ReadPinnedAnchors(const std::string& path);

// The anchors of a pin that may be absent: the default store when nothing at all exists at
// `path` (a dangling link is a pin that yields nothing), otherwise ReadPinnedAnchors(path).
TrustAnchors OptionalPinAnchors(const std::string& path);

// Verifies the open `file` (a regular file) and answers 0 or a trust code. Reads at offsets
// only, so the file's position is unchanged and the caller can go on to execute the very file
// it checked; streams the payload through the digest. No revocation checks, nothing fetched.
// `detail`, when given, receives a short English reason for a failure (empty on success);
// `payloadSize`, the number of bytes to run when the file is trusted: those an appended
// signature covers, or the whole of a PE program, whose signature is part of the program;
// `stamp`, the release stamp the trusted signature carries (release 0 when it has none). A
// stamp attribute that is there but not well-formed makes the signature malformed.
uint32_t VerifyFileTrust(const File& file, const TrustAnchors& anchors,
                         std::string* detail = nullptr, uint64_t* payloadSize = nullptr,
                         ReleaseStamp* stamp = nullptr);

// Opens `path` (not following a link, never blocking on a FIFO) and verifies it;
// kTrustFileNotFound when it does not exist, kTrustAccessDenied when it cannot be opened.
uint32_t VerifyFileTrust(const std::string& path, const TrustAnchors& anchors,
                         std::string* detail = nullptr, ReleaseStamp* stamp = nullptr);

}  // namespace platform
