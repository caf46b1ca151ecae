// Stands for the game in the start benchmark. When TERN_BENCH_START_STAMP names a file, the
// first thing it does is to write the CLOCK_MONOTONIC time it began running at, in nanoseconds
// and followed by a newline, into that file in one write. It then exits with 0.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char* stampPath = std::getenv("TERN_BENCH_START_STAMP");
    if (!stampPath || !*stampPath) return 0;
    char line[32];
    const int length =
        std::snprintf(line, sizeof line, "%lld\n",
                      static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    const int fd = open(stampPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 1;
    const bool written = write(fd, line, static_cast<size_t>(length)) == length;
    close(fd);
    return written ? 0 : 1;
}
