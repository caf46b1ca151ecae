#include "platform/files.h"

#include <windows.h>
// after windows.h, which it builds on
#include <shlobj.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

#include "platform/file.h"
#include "platform/files_common.h"
#include "platform/win32/file_access.h"
#include "platform/win32/utf8.h"

// Windows has no owner and mode bits to check: a directory's ACL decides who may plant files in
// it, and a new directory inherits the ACL of its parent, which below the user's profile (where
// the temporary, documents and application folders live) grants access to the user alone (and
// the system and administrators). So "safe" and "private" come down to an absolute path naming
// a real directory, not a link or junction that could lead elsewhere; "owned by the user" to a
// regular file that is no reparse point. No file system forbids running programs.

namespace platform {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// "C:\..." or "\\server\share\...".
bool IsAbsolute(const std::string& path) {
    return (path.size() > 2 && path[1] == ':' && IsSeparator(path[2])) ||
           (path.size() > 1 && IsSeparator(path[0]) && IsSeparator(path[1]));
}

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && IsSeparator(path.back()) && path[path.size() - 2] != ':') {
        path.pop_back();
    }
    return path;
}

std::string WithTrailingSeparator(std::string path) {
    if (!path.empty() && !IsSeparator(path.back())) path += '\\';
    return path;
}

std::optional<WIN32_FILE_ATTRIBUTE_DATA> Attributes(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    return data;
}

bool IsRealDirectory(const std::string& path) {
    const std::optional<WIN32_FILE_ATTRIBUTE_DATA> data = Attributes(path);
    return data && (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(data->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A regular file, not a link, junction or directory.
std::optional<uint64_t> RegularFileSize(const std::string& path) {
    const std::optional<WIN32_FILE_ATTRIBUTE_DATA> data = Attributes(path);
    if (!data ||
        (data->dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
        return std::nullopt;
    }
    return (static_cast<uint64_t>(data->nFileSizeHigh) << 32) | data->nFileSizeLow;
}

bool MakeDirectory(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// %USERPROFILE%, as Windows sets it for every logon.
std::string HomeDirectory() {
    const std::string profile = EnvironmentValue("USERPROFILE");
    if (!profile.empty()) return WithoutTrailingSeparators(profile);
    return WithoutTrailingSeparators(EnvironmentValue("HOMEDRIVE") + EnvironmentValue("HOMEPATH"));
}

}  // namespace

std::string XdgBaseDirectory(const char* variable, const char* defaultBelowHome) {
    const std::string value = EnvironmentValue(variable);
    if (IsAbsolute(value)) return WithoutTrailingSeparators(value);
    return HomeDirectory() + "\\" + defaultBelowHome;
}

// A drive ("C:") or a server's share is never created; the parts below them are.
bool MakeDirectories(const std::string& path) {
    const size_t first = path.size() > 1 && IsSeparator(path[0]) && IsSeparator(path[1])
                             ? path.find_first_of("\\/", path.find_first_of("\\/", 2) + 1)
                             : path.find_first_of("\\/", 1);
    for (size_t separator = first; separator != std::string::npos;
         separator = path.find_first_of("\\/", separator + 1)) {
        const std::string part = path.substr(0, separator);
        if (!part.empty() && part.back() != ':' && !MakeDirectory(part)) return false;
    }
    return MakeDirectory(path);
}

std::string ExecutableDirectory() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, path.data(), path.size());
        if (length == 0) return "";
        if (length < path.size()) {
            const std::string file(path.data(), length);
            const size_t separator = file.find_last_of("\\/");
            return separator == std::string::npos
                       ? file
                       : WithoutTrailingSeparators(file.substr(0, separator + 1));
        }
        path.resize(path.size() * 2);
    }
}

bool EnsureUserDirectory(const std::string& path, bool /*privateToUser*/) {
    return !path.empty() && MakeDirectories(path) && IsRealDirectory(path);
}

bool IsSafeUserDirectory(const std::string& path) {
    return IsAbsolute(path) && IsRealDirectory(path);
}

// GetTempPathA follows %TMP%, %TEMP% and the profile, in this order.
std::string TempDirectory() {
    char path[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof path, path);
    const std::string fromSystem = length > 0 && length <= MAX_PATH ? path : "";
    if (IsSafeUserDirectory(fromSystem) && AllowsExecution(fromSystem)) {
        return WithTrailingSeparator(fromSystem);
    }
    const std::string directory =
        XdgBaseDirectory("LOCALAPPDATA", "AppData\\Local") + "\\tern\\tmp";
    return EnsureUserDirectory(directory, false) ? directory + "\\" : "";
}

std::string RuntimeDirectory() {
    const std::string temp = TempDirectory();
    if (temp.empty()) return "";
    const std::string directory = temp + "tern-runtime";
    return EnsureUserDirectory(directory, true) ? directory : "";
}

// CREATE_NEW fails on anything at the path, a planted link included, so none is followed.
NewFile CreateNewPrivateFile(const std::string& path) {
    if (OpenFileNotFollowing(path, GENERIC_WRITE, 0, CREATE_NEW).Valid()) return NewFile::Created;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewFile::Exists
                                                                       : NewFile::Failed;
}

bool IsRegularFileOfUser(const std::string& path) { return RegularFileSize(path).has_value(); }

bool CanOpenForReadingAndWriting(const std::string& path) {
    return File::OpenForReadingAndWriting(path).Valid();
}

std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxBytes,
                                           bool followLinks) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const File file =
        followLinks ? FileAccess::Adopt(CreateFileA(path.c_str(), GENERIC_READ, share, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
                    : OpenFileNotFollowing(path, GENERIC_READ, share, OPEN_EXISTING);
    // Pipes and devices are never waited for.
    if (!file.Valid() || GetFileType(FileAccess::Handle(file)) != FILE_TYPE_DISK)
        return std::nullopt;
    return ReadAtMost(file, maxBytes);
}

std::optional<uint64_t> FileSize(const std::string& path) { return RegularFileSize(path); }

std::optional<uint64_t> AvailableDiskSpace(const std::string& directory) {
    if (std::optional<uint64_t> overridden = DiskSpaceOverride()) return overridden;
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(directory.c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return available.QuadPart;
}

bool AllowsExecution(const std::string& directory) { return !ExecutionForbiddenByTest(directory); }

// Formed in UTF-8 from the wide path: the launcher's manifest makes UTF-8 the code page of the
// ANSI calls that then open files below it.
std::string DocumentsDirectory() {
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
        return "";
    }
    return WithoutTrailingSeparators(Utf8FromWide(path, static_cast<int>(wcslen(path))));
}

}  // namespace platform
