// Stands for the game (or any program the launcher starts) in tests.
//
// When TERN_FIXTURE_RECORD names a file, it appends one record of this start to it, in a single
// write, in this form (fixture_record.h reads it):
//   cwd=<working directory>
//   fds=<open descriptors above 2, separated by blanks; empty when none>
//   argc=<number of arguments, argv[0] included>
//   <argv[0]>
//   ...
//   <argv[argc-1]>
// It then exits with the number in TERN_FIXTURE_EXIT_CODE (0 when unset).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

std::string OpenDescriptorsAboveStandard() {
    std::string list;
    DIR* directory = opendir("/proc/self/fd");
    if (!directory) return "?";
    const int own = dirfd(directory);
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd <= STDERR_FILENO || fd == own) continue;
        if (!list.empty()) list += ' ';
        list += entry->d_name;
    }
    closedir(directory);
    return list;
}

std::string WorkingDirectory() {
    std::string path(4096, '\0');
    if (!getcwd(path.data(), path.size())) return "?";
    path.resize(path.find('\0'));
    return path;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* recordPath = std::getenv("TERN_FIXTURE_RECORD");
    if (recordPath && *recordPath) {
        std::string record = "cwd=" + WorkingDirectory() + "\n";
        record += "fds=" + OpenDescriptorsAboveStandard() + "\n";
        record += "argc=" + std::to_string(argc) + "\n";
        for (int i = 0; i < argc; ++i) record += std::string(argv[i]) + "\n";
        const int fd = open(recordPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0 || !WriteAll(fd, record)) return 120;
        close(fd);
    }
    const char* exitCode = std::getenv("TERN_FIXTURE_EXIT_CODE");
    return exitCode ? std::atoi(exitCode) : 0;
}
