#include "platform/debug_output.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace platform {

// Standard error may be a pipe whose reader has gone. The kernel's default answer to writing
// there is SIGPIPE, which would end the launcher before it starts the game; with the signal
// ignored, the write fails with EPIPE instead and the text is dropped. A disposition the program
// chose itself is left alone. Programs started later get default dispositions again (see
// OpenProgram).
void IgnoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            signal(SIGPIPE, SIG_IGN);
        }
    });
}

// Standard error is shared with other writers, so the text goes out in as few writes as the
// kernel allows: normally one, so lines of different threads or processes never interleave.
void WriteDebugOutput(const std::string& text) {
    IgnoreBrokenPipes();
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
