#include "platform/process.h"

#include <windows.h>
// after windows.h, which it builds on
#include <shellapi.h>

#include <cwchar>
#include <memory>
#include <utility>

#include "platform/win32/file_access.h"
#include "platform/win32/utf8.h"

namespace platform {

struct ProcessAccess {
    static Process Adopt(HANDLE handle) {
        Process process;
        process.handle_ = reinterpret_cast<intptr_t>(handle);
        return process;
    }
};

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAbsolute(const std::string& path) {
    return (path.size() > 1 && path[1] == ':') || (!path.empty() && IsSeparator(path[0]));
}

std::string JoinPath(const std::string& directory, const std::string& file) {
    if (directory.empty() || IsAbsolute(file)) return file;
    return IsSeparator(directory.back()) ? directory + file : directory + "\\" + file;
}

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ParentDirectoryExists(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos || IsDirectory(path.substr(0, separator + 1));
}

// The shell's error number, in its SE_ERR_ form where it has one.
long ShellResult(DWORD error, const std::string& path) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return ParentDirectoryExists(path) ? kOpenFileNotFound : kOpenPathNotFound;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return kOpenPathNotFound;
        case ERROR_ACCESS_DENIED:
            return kOpenAccessDenied;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return kOpenOutOfMemory;
        case ERROR_BAD_FORMAT:
        case ERROR_BAD_EXE_FORMAT:
            return kOpenBadFormat;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return kOpenSharingViolation;
        case ERROR_CANCELLED:
            return kOpenCancelled;
        default:
            return kOpenOutOfResources;
    }
}

// The program gets its command line from the path and the parameters as they are; it splits
// them itself by the rules SplitCommandLine follows. No handle of this process is inheritable,
// so the program gets none.
long Start(const std::string& path, const std::string& parameters,
           const std::string& workingDirectory, Process* process) {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "open";
    info.lpFile = path.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    info.lpDirectory = workingDirectory.empty() ? nullptr : workingDirectory.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info)) return ShellResult(GetLastError(), path);
    if (info.hProcess) {
        if (process) {
            *process = ProcessAccess::Adopt(info.hProcess);
        } else {
            CloseHandle(info.hProcess);
        }
    }
    return kOpenStarted;
}

// The DOS path of the open file, so that it is started by the name that names it now.
std::string HandlePath(HANDLE handle) {
    char path[32768];
    const DWORD length = GetFinalPathNameByHandleA(handle, path, sizeof path,
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= sizeof path) return "";
    const std::string full(path, length);
    const std::string local = "\\\\?\\";
    const std::string unc = local + "UNC\\";
    if (full.compare(0, unc.size(), unc) == 0) return "\\\\" + full.substr(unc.size());
    if (full.compare(0, local.size(), local) == 0) return full.substr(local.size());
    return full;
}

}  // namespace

long OpenProgram(const std::string& file, const std::string& parameters,
                 const std::string& workingDirectory, Process* process) {
    if (!workingDirectory.empty() && !IsDirectory(workingDirectory)) return kOpenPathNotFound;
    if (file.empty()) return kOpenFileNotFound;
    return Start(JoinPath(workingDirectory, file), parameters, workingDirectory, process);
}

// Windows runs programs by name only. The open `file` shares neither writing nor deleting
// (see file.cpp), so while it stays open here the name holds the bytes checked through it, and
// the system's own open for running shares reading with it.
long OpenProgramFile(const File& file, const std::string& displayPath,
                     const std::string& parameters, const std::string& workingDirectory,
                     Process* process) {
    if (!workingDirectory.empty() && !IsDirectory(workingDirectory)) return kOpenPathNotFound;
    const std::string path = HandlePath(FileAccess::Handle(file));
    if (path.empty()) return ShellResult(GetLastError(), displayPath);
    return Start(path, parameters, workingDirectory, process);
}

// The writable handle has to go before the start. A reader that lets it write holds the name
// meanwhile (nothing can rename or delete the file), and the handle that finally denies writers
// cannot be opened while any other writer has the file open.
long OpenProgramFilePrefix(File file, uint64_t size, const std::string& displayPath,
                           const std::string& parameters, const std::string& workingDirectory,
                           Process* process) {
    if (!file.Resize(size)) return ShellResult(GetLastError(), displayPath);
    const std::string path = HandlePath(FileAccess::Handle(file));
    if (path.empty()) return ShellResult(GetLastError(), displayPath);
    File bridge =
        OpenFileNotFollowing(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (!bridge.Valid()) return ShellResult(GetLastError(), displayPath);
    file = File();
    const File readOnly = OpenFileNotFollowing(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (!readOnly.Valid()) return ShellResult(GetLastError(), displayPath);
    bridge = File();
    return OpenProgramFile(readOnly, displayPath, parameters, workingDirectory, process);
}

// Letting go of the handle leaves the program running.
Process::~Process() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

Process::Process(Process&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

int Process::Wait() {
    const intptr_t value = std::exchange(handle_, -1);
    if (value == -1) return -1;
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD code = 0;
    const bool ended =
        WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(handle, &code);
    CloseHandle(handle);
    return ended ? static_cast<int>(code) : -1;
}

std::vector<std::string> ProgramArguments(int, char**) {
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> arguments(
        CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    std::vector<std::string> converted;
    for (int i = 0; arguments && i < count; ++i) {
        const wchar_t* const argument = arguments.get()[i];
        converted.push_back(Utf8FromWide(argument, static_cast<int>(wcslen(argument))));
    }
    return converted;
}

}  // namespace platform
