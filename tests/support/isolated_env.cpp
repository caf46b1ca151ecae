#include "tests/support/isolated_env.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace tern_test {
namespace {

const char* const kDirectoryVariables[] = {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME",
                                           "TMPDIR", "HOME"};
// Every proxy setting libcurl reads points at a closed local port, so that no test depends on the
// developer's network settings and none reaches a real host: a test that wants a server names
// its own (ProxyEnvironment).
const char* const kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                       "all_proxy",  "ALL_PROXY",  "ftp_proxy",   "FTP_PROXY"};
const char* const kProxyExclusions[] = {"no_proxy", "NO_PROXY"};
const char kClosedPort[] = "http://127.0.0.1:1";

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
    std::vector<const char*> names(std::begin(kDirectoryVariables), std::end(kDirectoryVariables));
    names.insert(names.end(), std::begin(kProxyVariables), std::end(kProxyVariables));
    names.insert(names.end(), std::begin(kProxyExclusions), std::end(kProxyExclusions));
    for (const char* name : names) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    for (const char* name : kProxyVariables) setenv(name, kClosedPort, 1);
    for (const char* name : kProxyExclusions) unsetenv(name);
    setenv("XDG_CONFIG_HOME", ConfigHome().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", RuntimeDir().c_str(), 1);
    setenv("XDG_CACHE_HOME", CacheHome().c_str(), 1);
    setenv("TMPDIR", TempDir().c_str(), 1);
    setenv("HOME", (root_ + "/home").c_str(), 1);
}

IsolatedEnv::~IsolatedEnv() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string LongDirectory(const std::string& base, size_t length) {
    constexpr size_t kComponent = 200;
    std::string path = base;
    while (path.size() < length) {
        const size_t room = length - path.size() - 1;
        // A last component of at least one character: never a trailing '/'.
        const size_t next = room > kComponent && room - kComponent < 2 ? kComponent - 2
                                                                       : std::min(room, kComponent);
        path += "/" + std::string(next, 'd');
    }
    std::filesystem::create_directories(path);
    return path;
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
