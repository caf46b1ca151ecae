// Signing a file so that VerifyFileTrust accepts it: a PE program with an Authenticode signature
// (authenticode.h), anything else with an appended one (appended_signature.h).
#pragma once

#include <string>

#include "platform/trust/release_stamp.h"

namespace platform {

struct SigningResult {
    bool ok = false;
    std::string error;  // why nothing was written, when !ok
};

// Writes `outputPath`: the bytes of `inputPath`, signed with SHA-256 by the unencrypted PEM key
// `keyPemPath` for the PEM certificate `certPemPath`, the signature carrying that certificate and
// those of `chainPemPath` when it is not empty. A PE program (it begins with "MZ") gets its
// Authenticode signature in a certificate table at its end, the security directory and the
// checksum updated; it must be well-formed and have no certificate table yet. Anything else gets
// a detached CMS SignedData over it, the descriptor and the marker appended. Refuses a key that
// does not belong to the certificate, a certificate without the code-signing usage, and a chain
// certificate beside the signer's path, which the verifier would refuse. A `stamp` with a
// release becomes a signed attribute (release_stamp.h); one that CheckReleaseStamp refuses is
// refused. The output appears atomically with the input's permission bits, or not at all; the
// input may be the output.
SigningResult SignFile(const std::string& inputPath, const std::string& keyPemPath,
                       const std::string& certPemPath, const std::string& chainPemPath,
                       const std::string& outputPath, const ReleaseStamp& stamp = {});

}  // namespace platform
