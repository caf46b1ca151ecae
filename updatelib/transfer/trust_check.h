// The code-signing check of a downloaded update before it may run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace Tern {

// What the release stamp of an update's signature must show for the update to run here: this
// launcher's product, and a release above every one this installation started; or the highest
// started release again while it has not taken effect, which is a retry and rolls nothing back.
// The answer is unauthenticated, so a signed patch of another product, or an older one, is an
// attack.
struct ReleaseRequirement {
    std::string product;
    uint32_t highestStarted = 0;
    bool highestMayRunAgain = false;
    // Whether a signature without a stamp, made before stamps existed, may run.
    bool acceptUnstamped = false;
};

// Whether the file at `path`, open as `file`, carries a valid signature of a trusted publisher
// with a release stamp that meets `requirement`. The check reads through `file` (without moving
// its position), so that the caller starts the very file it checked; with `file` not open the
// path is opened, which tells a missing file apart. Trusted publishers are those of
// "Resources/trust.pem" beside the program when anything exists there (only they: a link is
// followed, and a pin without a usable certificate trusts nobody), otherwise the system's
// certificate store. Writes one line to the trust diagnostics:
// "File location:<path>verifying file signature... " and the verdict, after a line saying why
// when the pin is unusable. `payloadSize`, when given, receives the number of bytes the trusted
// signature covers; `release`, the stamp's release (0 for an unstamped file accepted).
bool verifyFileTrust(const std::string& path, const platform::File& file,
                     const ReleaseRequirement& requirement, uint64_t* payloadSize = nullptr,
                     uint32_t* release = nullptr);

}  // namespace Tern
