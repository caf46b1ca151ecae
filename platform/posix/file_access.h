// The descriptor behind a platform::File, for the POSIX realisation alone.
#pragma once

#include "platform/file.h"

namespace platform {

struct FileAccess {
    // The descriptor of `file`; -1 when it is not open. `file` keeps owning it.
    static int Descriptor(const File& file) { return static_cast<int>(file.handle_); }

    // A File owning `descriptor` (invalid when it is negative).
    static File Adopt(int descriptor) {
        File file;
        file.handle_ = descriptor < 0 ? -1 : descriptor;
        return file;
    }
};

}  // namespace platform
