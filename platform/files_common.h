// What every realisation of files.h shares: the answers tests impose, and unique name parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/file.h"

namespace platform {

// The free space a test imposed for every directory; nullopt for the real figure.
std::optional<uint64_t> DiskSpaceOverride();

// Whether a test forbade running programs from `directory`.
bool ExecutionForbiddenByTest(const std::string& directory);

// Eight random hexadecimal digits for a file name that must not be guessed in advance.
std::string RandomHex();

// The rest of `file` when it holds at most `maxBytes` bytes; nullopt when reading fails or it
// holds more.
std::optional<std::string> ReadAtMost(const File& file, size_t maxBytes);

enum class NewFile { Created, Exists, Failed };

// Creates the file at `path`, private to the user, only when nothing is there yet (a link
// included, which is never followed). Each realisation has its own.
NewFile CreateNewPrivateFile(const std::string& path);

}  // namespace platform
