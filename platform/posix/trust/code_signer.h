// Signing a file with an appended signature (appended_signature.h) that VerifyFileTrust accepts.
#pragma once

#include <string>

namespace platform {

struct SigningResult {
    bool ok = false;
    std::string error;  // why nothing was written, when !ok
};

// Writes `outputPath`: the bytes of `inputPath`, then a detached CMS SignedData over them
// (SHA-256, made with the unencrypted PEM key `keyPemPath` for the PEM certificate
// `certPemPath`, carrying that certificate and those of `chainPemPath` when it is not empty),
// the descriptor and the marker. Refuses a key that does not belong to the certificate, a
// certificate without the code-signing usage, and a chain certificate beside the signer's path,
// which the verifier would refuse. The output appears atomically with the input's permission
// bits, or not at all; the input may be the output.
SigningResult SignFile(const std::string& inputPath, const std::string& keyPemPath,
                       const std::string& certPemPath, const std::string& chainPemPath,
                       const std::string& outputPath);

}  // namespace platform
