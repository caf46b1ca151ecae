#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

// Standard error is shared with other writers, so the text goes out in as few writes as the
// kernel allows: normally one, so lines of different threads or processes never interleave.
void WriteDebugOutput(const std::string& text) {
    const char* data = text.data();
    size_t remaining = text.size();
    while (remaining > 0) {
        const ssize_t written = write(STDERR_FILENO, data, remaining);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        remaining -= static_cast<size_t>(written);
    }
}

}  // namespace platform
