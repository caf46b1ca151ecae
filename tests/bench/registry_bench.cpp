// Hive write costs: a value written again unchanged, the download code's hot path, must not
// touch the disk; a changed value costs one atomic replacement of the file.
//
// Prints
//   BENCH registry_identical_writes <n> per_s
//   BENCH registry_changed_writes <n> per_s
//   BENCH registry_identical_file_replacements <n> count
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry/registry.h"

namespace {

constexpr int kIdenticalWrites = 100000;
constexpr int kChangedWrites = 10000;
const char kKeyPath[] = "Software\\Norland\\Skyreach\\GameUpdate\\UpdateFiles";

// One write the way the download code does it.
bool WriteValue(const std::string& data) {
    platform::RegistryKey key;
    if (platform::RegistryKey::Create(platform::Hive::CurrentUser, kKeyPath, &key) !=
        platform::kRegSuccess) {
        return false;
    }
    const bool written = key.SetString("Patch", data) == platform::kRegSuccess;
    key.Close();
    return written;
}

// Writes `count` values, the same one when `change` is false, and answers writes per second,
// or a negative number when a write failed.
double TimeWrites(int count, bool change) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        if (!WriteValue("R /tmp/vex" + std::to_string(change ? i : 0) + ".tmp")) return -1;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return count / elapsed.count();
}

// Counts the files renamed onto the hive file while it lives. Creations of the temporary file
// are watched too: the kernel merges a queued event into an identical one before it, and a
// rename always follows a creation, so no two renames queue next to each other.
class ReplacementCounter {
public:
    explicit ReplacementCounter(const std::string& hive)
        : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), name_(hive.substr(hive.rfind('/') + 1)) {
        const std::string directory = hive.substr(0, hive.rfind('/'));
        if (fd_ >= 0) inotify_add_watch(fd_, directory.c_str(), IN_MOVED_TO | IN_CREATE);
    }
    ~ReplacementCounter() {
        if (fd_ >= 0) close(fd_);
    }
    ReplacementCounter(const ReplacementCounter&) = delete;
    ReplacementCounter& operator=(const ReplacementCounter&) = delete;

    bool Valid() const { return fd_ >= 0; }

    // Reads the events queued so far.
    long Count() {
        alignas(inotify_event) char buffer[65536];
        long count = 0;
        ssize_t got;
        while ((got = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + got;) {
                const auto* event = reinterpret_cast<inotify_event*>(p);
                if ((event->mask & IN_MOVED_TO) && event->len && name_ == event->name) ++count;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return count;
    }

private:
    int fd_;
    std::string name_;
};

int Run() {
    if (!WriteValue("R /tmp/vex0.tmp")) {
        std::fprintf(stderr, "cannot write the hive %s\n",
                     platform::HiveFilePath(platform::Hive::CurrentUser).c_str());
        return 1;
    }
    const std::string hive = platform::HiveFilePath(platform::Hive::CurrentUser);
    ReplacementCounter replacements(hive);
    if (!replacements.Valid()) {
        std::perror("inotify");
        return 1;
    }
    const double identical = TimeWrites(kIdenticalWrites, false);
    const long identicalReplacements = replacements.Count();
    const double changed = TimeWrites(kChangedWrites, true);
    if (identical < 0 || changed < 0) {
        std::fprintf(stderr, "a hive write failed\n");
        return 1;
    }
    std::printf("BENCH registry_identical_writes %.0f per_s\n", identical);
    std::printf("BENCH registry_changed_writes %.0f per_s\n", changed);
    std::printf("BENCH registry_identical_file_replacements %ld count\n", identicalReplacements);
    return 0;
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-registry-XXXXXX";
    if (!mkdtemp(root.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    const int result = Run();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return result;
}
