// File-system facilities: the user's private directories, temporary files, free space.
// The notions below are Linux's; platform/win32/files.cpp says what each means on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The separator this system writes between a path's directories, and every character it takes as
// one (Windows takes '/' as well as its own '\\').
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
constexpr const char* kPathSeparators = "\\/";
#else
constexpr char kPathSeparator = '/';
constexpr const char* kPathSeparators = "/";
#endif

// An XDG base directory: $`variable` when it holds an absolute path (relative ones are invalid
// by the XDG rules), else `defaultBelowHome` in the home directory ($HOME, or the password
// database's entry when $HOME is unset). No trailing '/'.
std::string XdgBaseDirectory(const char* variable, const char* defaultBelowHome);

// Creates `path` and its missing parents, each with mode 0700; true when it exists afterwards
// (not checked to be a directory).
bool MakeDirectories(const std::string& path);

// Directory of the running executable, without a trailing '/'.
std::string ExecutableDirectory();

// The user's temporary directory for downloads: $TMPDIR when it names a safe directory (see
// IsSafeUserDirectory) from which programs may run (AllowsExecution), otherwise
// $XDG_CACHE_HOME/tern/tmp (default ~/.cache/tern/tmp), created 0700 and checked to be safe.
// Always ends with kPathSeparator. Empty when no usable directory exists.
std::string TempDirectory();

// Runtime directory for named objects and sockets: $XDG_RUNTIME_DIR when it names a safe
// directory, otherwise /tmp/tern-$UID (created 0700, owned by the user, no access for others).
// No trailing '/'. Empty when unusable.
std::string RuntimeDirectory();

// Whether `path` is an absolute path naming a directory owned by the user that neither group nor
// others may write to: only such a directory is safe from files planted by other users.
bool IsSafeUserDirectory(const std::string& path);

// Creates a new empty file "<directory><prefix><unique><ending>" atomically and without
// following a planted link (O_CREAT|O_EXCL|O_NOFOLLOW), mode 0600, and returns its path; empty
// on failure. `directory` must end with '/'.
std::string CreateUniqueTempFile(const std::string& prefix, const std::string& directory,
                                 const std::string& ending = ".tmp");

// Whether `path` itself (not what a link there points to) is a regular file owned by the user.
bool IsRegularFileOfUser(const std::string& path);

// Whether File::OpenForReadingAndWriting(path) succeeds.
bool CanOpenForReadingAndWriting(const std::string& path);

// The contents of the regular file at `path` when it holds at most `maxBytes` bytes; nullopt when
// it is missing, unreadable, larger, or not a regular file (a FIFO or a device, which are never
// waited for). A symbolic link at `path` is followed only with `followLinks`.
std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxBytes,
                                           bool followLinks);

// The size of the file at `path`, not followed through a link; nullopt when there is none.
std::optional<uint64_t> FileSize(const std::string& path);

// Bytes available to an unprivileged user on the file system holding `directory`;
// nullopt when it cannot be determined.
std::optional<uint64_t> AvailableDiskSpace(const std::string& directory);

// Whether programs may run from `directory`: false when its file system is mounted noexec; true
// when that cannot be determined, since the start then names any real failure.
bool AllowsExecution(const std::string& directory);

// The user's documents folder: XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs, else
// $HOME/Documents; on Windows the shell's personal folder, in UTF-8. No trailing separator.
// Empty when $HOME is unset and the file names none, or when the shell names none.
std::string DocumentsDirectory();

// Creates `path` with its missing parents (mode 0700) and answers whether it is a directory
// owned by the user that group and others cannot write to; with `privateToUser`, that they have
// no access to it at all.
bool EnsureUserDirectory(const std::string& path, bool privateToUser);

}  // namespace platform
