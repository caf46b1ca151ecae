// The handle behind a platform::File, for the Windows realisation alone.
#pragma once

#include <windows.h>

#include <string>

#include "platform/file.h"

namespace platform {

struct FileAccess {
    // The handle of `file`; INVALID_HANDLE_VALUE when it is not open. `file` keeps owning it.
    static HANDLE Handle(const File& file) { return reinterpret_cast<HANDLE>(file.handle_); }

    // A File owning `handle` (invalid when it is INVALID_HANDLE_VALUE).
    static File Adopt(HANDLE handle) {
        File file;
        file.handle_ = reinterpret_cast<intptr_t>(handle);
        return file;
    }
};

// Opens `path` itself, never what a symbolic link or junction there points to: a reparse point
// at `path` gives an invalid File. Handles are never inherited by started programs.
File OpenFileNotFollowing(const std::string& path, DWORD access, DWORD share, DWORD disposition);

}  // namespace platform
