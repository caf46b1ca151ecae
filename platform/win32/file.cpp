#include "platform/file.h"

#include <windows.h>


#include "platform/win32/file_access.h"

namespace platform {

File OpenFileNotFollowing(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    File file = FileAccess::Adopt(
        CreateFileA(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr, disposition,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (file.Valid() &&
        (!GetFileInformationByHandle(FileAccess::Handle(file), &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))) {
        return File();
    }
    return file;
}

void File::Close() {
    if (Valid()) CloseHandle(FileAccess::Handle(*this));
    handle_ = -1;
}

// Programs are started by path while the handle that checked them is open (see process.cpp):
// sharing neither writing nor deleting keeps the path naming the very bytes read.
File File::OpenForReading(const std::string& path) {
    return OpenFileNotFollowing(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
}

// The system itself refuses to open a running program's file for writing (a sharing violation).
File File::OpenForReadingAndWriting(const std::string& path) {
    return OpenFileNotFollowing(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
}

// A new file inherits the ACL of its directory, which below the user's profile and temporary
// folder gives access to the user alone. An existing file is emptied only once it proved to be no
// link, since CREATE_ALWAYS would replace a link with a file.
File File::OpenForWriting(const std::string& path, bool append) {
    File file = OpenFileNotFollowing(path, append ? FILE_APPEND_DATA : GENERIC_WRITE,
                                     FILE_SHARE_READ, OPEN_ALWAYS);
    if (!append && file.Valid() && !file.Resize(0)) return File();
    return file;
}

bool File::Valid() const { return reinterpret_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE; }

int64_t File::Read(void* buffer, size_t size) const {
    DWORD got = 0;
    const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    if (!ReadFile(FileAccess::Handle(*this), buffer, wanted, &got, nullptr)) return -1;
    return got;
}

bool File::WriteAll(const void* data, size_t size) const {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        if (!WriteFile(FileAccess::Handle(*this), next, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}

std::optional<uint64_t> File::Size() const {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(FileAccess::Handle(*this), &size)) return std::nullopt;
    return static_cast<uint64_t>(size.QuadPart);
}

// The file's position stays where it was, as with ftruncate.
bool File::Resize(uint64_t size) const {
    const HANDLE handle = FileAccess::Handle(*this);
    LARGE_INTEGER none{};
    LARGE_INTEGER position;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(handle, none, &position, FILE_CURRENT) &&
           SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle) &&
           SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
}

// Whether a file may run is decided by its name and the ACL, not by a permission bit.
bool File::AllowOwnerToExecute() const { return Valid(); }

}  // namespace platform
