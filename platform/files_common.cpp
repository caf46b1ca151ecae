#include "platform/files_common.h"

#include <cstdio>
#include <mutex>
#include <random>

#include "platform/files.h"
#include "platform/test_seams.h"

namespace platform {
namespace {

struct Overrides {
    std::mutex mutex;
    std::optional<uint64_t> diskSpace;
    std::string noExecutionBelow;
};

Overrides& TheOverrides() {
    static Overrides instance;
    return instance;
}

}  // namespace

std::optional<uint64_t> DiskSpaceOverride() {
    Overrides& overrides = TheOverrides();
    const std::lock_guard<std::mutex> lock(overrides.mutex);
    return overrides.diskSpace;
}

bool ExecutionForbiddenByTest(const std::string& directory) {
    Overrides& overrides = TheOverrides();
    const std::lock_guard<std::mutex> lock(overrides.mutex);
    const std::string& below = overrides.noExecutionBelow;
    return !below.empty() && directory.compare(0, below.size(), below) == 0;
}

std::string RandomHex() {
    thread_local std::mt19937 generator{std::random_device{}()};
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(generator()));
    return text;
}

namespace testing {

void OverrideAvailableDiskSpace(std::optional<uint64_t> bytes) {
    Overrides& overrides = TheOverrides();
    const std::lock_guard<std::mutex> lock(overrides.mutex);
    overrides.diskSpace = bytes;
}

void ForbidExecutionBelow(const std::string& directory) {
    Overrides& overrides = TheOverrides();
    const std::lock_guard<std::mutex> lock(overrides.mutex);
    overrides.noExecutionBelow = directory;
}

}  // namespace testing
std::optional<std::string> ReadAtMost(const File& file, size_t maxBytes) {
    std::string text(maxBytes + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const int64_t n = file.Read(&text[got], text.size() - got);
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got > maxBytes) return std::nullopt;
    text.resize(got);
    return text;
}

// As GetTempFileNameA does, but with eight random digits and the caller's ending.
std::string CreateUniqueTempFile(const std::string& prefix, const std::string& directory,
                                 const std::string& ending) {
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string path = directory + prefix + RandomHex() + ending;
        switch (CreateNewPrivateFile(path)) {
            case NewFile::Created:
                return path;
            case NewFile::Exists:
                continue;
            case NewFile::Failed:
                return "";
        }
    }
    return "";
}

}  // namespace platform
