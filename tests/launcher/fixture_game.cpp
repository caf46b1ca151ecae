// Stands for the game in tests. When TERN_FIXTURE_RECORD names a file, it writes there, one per
// line: its working directory, its open descriptors above standard error (each after a blank)
// and its arguments, argv[0] first. It exits with TERN_FIXTURE_EXIT_CODE (0 when unset).
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    if (const char* path = std::getenv("TERN_FIXTURE_RECORD")) {
        std::string descriptors;
        for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
            if (fcntl(fd, F_GETFD) != -1) descriptors += " " + std::to_string(fd);
        }
        std::ofstream record(path);
        record << std::filesystem::current_path().string() << '\n' << descriptors << '\n';
        for (int i = 0; i < argc; ++i) record << argv[i] << '\n';
        if (!record.flush()) return 120;
    }
    const char* exitCode = std::getenv("TERN_FIXTURE_EXIT_CODE");
    return exitCode ? std::atoi(exitCode) : 0;
}
