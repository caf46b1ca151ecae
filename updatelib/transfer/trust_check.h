// The code-signing check of a downloaded update before it may run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace Tern {

// Whether the file at `path`, open as `file`, carries a valid signature of a trusted publisher.
// The check reads through `file` (without moving its position), so that the caller starts the
// very file it checked; with `file` not open the path is opened, which tells a missing file
// apart. Trusted
// publishers are those of "Resources/trust.pem" beside the program when anything exists there
// (only they: a link is followed, and a pin without a usable certificate trusts nobody),
// otherwise the system's certificate store. Writes one line to the trust diagnostics:
// "File location:<path>verifying file signature... " and the verdict, after a line saying why
// when the pin is unusable. `payloadSize`, when given, receives the number of bytes the trusted
// signature covers.
bool verifyFileTrust(const std::string& path, const platform::File& file,
                     uint64_t* payloadSize = nullptr);

}  // namespace Tern
