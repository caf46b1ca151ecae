// File-system facilities: the user's private directories, temporary files, free space.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Directory of the running executable, without a trailing '/'.
std::string ExecutableDirectory();

// The user's temporary directory for downloads: $TMPDIR when set, otherwise
// $XDG_CACHE_HOME/tern/tmp (default ~/.cache/tern/tmp), created 0700 and checked to be owned
// by the user. Always ends with '/'. Empty when no usable directory exists.
std::string TempDirectory();

// Runtime directory for named objects and sockets: $XDG_RUNTIME_DIR, otherwise /tmp/tern-$UID
// (created 0700 and checked to be owned by the user). No trailing '/'. Empty when unusable.
std::string RuntimeDirectory();

// Creates a new empty file "<directory><prefix><unique>.tmp" atomically, mode 0600, and returns
// its path; empty on failure. `directory` must end with '/'.
std::string CreateUniqueTempFile(const std::string& prefix, const std::string& directory);

// Bytes available to an unprivileged user on the file system holding `directory`;
// nullopt when it cannot be determined.
std::optional<uint64_t> AvailableDiskSpace(const std::string& directory);

// The user's documents folder: XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs, else
// $HOME/Documents. No trailing '/'. Empty when $HOME is unset and the file names none.
std::string DocumentsDirectory();

// Creates `path` with its missing parents (mode 0700) and answers whether it is a directory
// owned by the user; with `privateToUser`, also that group and others have no access to it.
bool EnsureUserDirectory(const std::string& path, bool privateToUser);

}  // namespace platform
