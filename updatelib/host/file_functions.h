// File helpers of the update library: where the program lives and where downloads go.
#pragma once

#include <string>

namespace Tern {

// Directory of the running executable, without a trailing '/'.
std::string GetExecutableDirectory();

// The user's temporary directory for downloads, ending with '/'; empty when none is usable.
std::string GetTempDirectory();

// The prefix of the library's downloaded files.
constexpr const char* kDownloadFilePrefix = "vex";

// Creates a new empty file with a unique name "<directory><prefix><unique>.tmp" and returns its
// full path; empty on failure. Without a directory the file goes to GetTempDirectory().
std::string MakeTempFileName(const std::string& prefix, const std::string& directory = "");

}  // namespace Tern
