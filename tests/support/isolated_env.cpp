#include "tests/support/isolated_env.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tern_test {
namespace {

const char* const kVariables[] = {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "TMPDIR",
                                  "HOME"};

// The temporary directory the test process was started with, before any IsolatedEnv moved
// TMPDIR into its own tree.
const std::string& BaseTempDir() {
    static const std::string base = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp");
    }();
    return base;
}

}  // namespace

IsolatedEnv::IsolatedEnv() {
    std::string pattern = BaseTempDir() + "/tern-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed in " + BaseTempDir());
    root_ = pattern;
    for (const char* sub : {"/config", "/runtime", "/cache", "/tmp", "/home"}) {
        std::filesystem::create_directories(root_ + sub);
        chmod((root_ + sub).c_str(), 0700);
    }
    for (int i = 0; i < 5; ++i) {
        const char* old = std::getenv(kVariables[i]);
        savedVariables_[i] = old ? old : "";
    }
    setenv("XDG_CONFIG_HOME", ConfigHome().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", RuntimeDir().c_str(), 1);
    setenv("XDG_CACHE_HOME", CacheHome().c_str(), 1);
    setenv("TMPDIR", TempDir().c_str(), 1);
    setenv("HOME", (root_ + "/home").c_str(), 1);
}

IsolatedEnv::~IsolatedEnv() {
    for (int i = 0; i < 5; ++i) setenv(kVariables[i], savedVariables_[i].c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace tern_test
