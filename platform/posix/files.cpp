#include "platform/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/file.h"
#include "platform/files_common.h"
#include "platform/posix/file_access.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string WithTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

// $HOME, or the password database's entry for the user when it is unset.
std::string HomeDirectory() {
    const std::string home = EnvironmentValue("HOME");
    if (!home.empty()) return WithoutTrailingSlashes(home);
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return WithoutTrailingSlashes(found->pw_dir);
    }
    return "";
}

bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// The value of a shell assignment `name=value` on one line of user-dirs.dirs: double quotes
// group and a backslash takes the next character literally. nullopt for other lines.
std::optional<std::string> AssignedValue(const std::string& line, const std::string& name) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, name.size() + 1, name + "=") != 0) {
        return std::nullopt;
    }
    std::string value;
    bool quoted = false;
    for (size_t i = start + name.size() + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            value += line[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '#')) {
            break;
        } else {
            value += c;
        }
    }
    return value;
}

// user-dirs.dirs allows only "$HOME/..." or an absolute path.
std::optional<std::string> ExpandHome(const std::string& value, const std::string& home) {
    const std::string homeVariable = "$HOME";
    if (value.compare(0, homeVariable.size(), homeVariable) == 0 &&
        (value.size() == homeVariable.size() || value[homeVariable.size()] == '/')) {
        if (home.empty()) return std::nullopt;
        return WithoutTrailingSlashes(WithoutTrailingSlashes(home) +
                                      value.substr(homeVariable.size()));
    }
    if (!value.empty() && value.front() == '/') return WithoutTrailingSlashes(value);
    return std::nullopt;
}

// The file is sourced by shells, so the last assignment wins.
std::optional<std::string> DocumentsFromUserDirs(const std::string& home) {
    const std::string config = XdgBaseDirectory("XDG_CONFIG_HOME", ".config");
    std::ifstream in(config + "/user-dirs.dirs");
    std::optional<std::string> documents;
    std::string line;
    while (std::getline(in, line)) {
        const std::optional<std::string> value = AssignedValue(line, "XDG_DOCUMENTS_DIR");
        if (!value) continue;
        if (std::optional<std::string> expanded = ExpandHome(*value, home)) documents = expanded;
    }
    return documents;
}

// A directory owned by the user, with none of the permission bits `forbidden`.
bool IsUserDirectory(const std::string& path, mode_t forbidden) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & forbidden) == 0;
}

}  // namespace

std::string XdgBaseDirectory(const char* variable, const char* defaultBelowHome) {
    const std::string value = EnvironmentValue(variable);
    if (!value.empty() && value.front() == '/') return WithoutTrailingSlashes(value);
    return HomeDirectory() + "/" + defaultBelowHome;
}

bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (!MakeDirectory(path.substr(0, slash))) return false;
    }
    return MakeDirectory(path);
}

std::string ExecutableDirectory() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0) return "";
        if (static_cast<size_t>(length) < path.size()) {
            path.resize(static_cast<size_t>(length));
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return path;
    return path.substr(0, std::max<size_t>(slash, 1));
}

bool EnsureUserDirectory(const std::string& path, bool privateToUser) {
    return !path.empty() && MakeDirectories(path) &&
           IsUserDirectory(path, privateToUser ? 077 : 022);
}

bool IsSafeUserDirectory(const std::string& path) {
    return !path.empty() && path.front() == '/' && IsUserDirectory(path, 022);
}

std::string TempDirectory() {
    const std::string fromEnvironment = EnvironmentValue("TMPDIR");
    // Downloads are programs that have to run from there.
    if (IsSafeUserDirectory(fromEnvironment) && AllowsExecution(fromEnvironment)) {
        return WithTrailingSlash(fromEnvironment);
    }
    const std::string directory = XdgBaseDirectory("XDG_CACHE_HOME", ".cache") + "/tern/tmp";
    return EnsureUserDirectory(directory, false) ? directory + "/" : "";
}

std::string RuntimeDirectory() {
    const std::string fromEnvironment = EnvironmentValue("XDG_RUNTIME_DIR");
    if (IsSafeUserDirectory(fromEnvironment)) return WithoutTrailingSlashes(fromEnvironment);
    const std::string fallback = "/tmp/tern-" + std::to_string(getuid());
    return EnsureUserDirectory(fallback, true) ? fallback : "";
}

NewFile CreateNewPrivateFile(const std::string& path) {
    const UniqueFd file(
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.Valid()) return NewFile::Created;
    return errno == EEXIST ? NewFile::Exists : NewFile::Failed;
}

bool IsRegularFileOfUser(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == getuid();
}

bool CanOpenForReadingAndWriting(const std::string& path) {
    return File::OpenForReadingAndWriting(path).Valid();
}

std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxBytes,
                                           bool followLinks) {
    // Opening a FIFO without O_NONBLOCK waits for a writer; its reads never block then, and a
    // regular file's never did. A terminal opened on the way never becomes the controlling one.
    const File file =
        FileAccess::Adopt(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY |
                                                 (followLinks ? 0 : O_NOFOLLOW)));
    struct stat info;
    if (!file.Valid() || fstat(FileAccess::Descriptor(file), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return ReadAtMost(file, maxBytes);
}

std::optional<uint64_t> FileSize(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

std::optional<uint64_t> AvailableDiskSpace(const std::string& directory) {
    if (std::optional<uint64_t> overridden = DiskSpaceOverride()) return overridden;
    struct statvfs info;
    if (statvfs(directory.c_str(), &info) != 0) return std::nullopt;
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

bool AllowsExecution(const std::string& directory) {
    if (ExecutionForbiddenByTest(directory)) return false;
    struct statvfs info;
    return statvfs(directory.c_str(), &info) != 0 || (info.f_flag & ST_NOEXEC) == 0;
}

std::string DocumentsDirectory() {
    const std::string home = HomeDirectory();
    if (std::optional<std::string> documents = DocumentsFromUserDirs(home)) return *documents;
    return home + "/Documents";
}

}  // namespace platform
