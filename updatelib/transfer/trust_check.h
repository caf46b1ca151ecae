// The code-signing check of a downloaded update before it may run.
#pragma once

#include <cstdint>
#include <string>

namespace Tern {

// Whether the file at `path`, open at `fd`, carries a valid signature of a trusted publisher.
// The check reads through `fd` (without moving its offset), so that the caller starts the very
// file it checked; with `fd` -1 the path is opened, which tells a missing file apart. Trusted
// publishers are those of "Resources/trust.pem" beside the program when anything exists there
// (only they: a link is followed, and a pin without a usable certificate trusts nobody),
// otherwise the system's certificate store. Writes one line to the trust diagnostics:
// "File location:<path>verifying file signature... " and the verdict, after a line saying why
// when the pin is unusable. `payloadSize`, when given, receives the number of bytes the trusted
// signature covers.
bool verifyFileTrust(const std::string& path, int fd, uint64_t* payloadSize = nullptr);

}  // namespace Tern
