#include "tests/support/isolated_env.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/test_seams.h"
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <utility>

namespace tern_test {
namespace {

namespace fs = std::filesystem;

// The variables naming the user's directories, and where each points.
using Directory = std::string (IsolatedEnv::*)() const;
#ifdef _WIN32
// GetTempPath reads TMP, then TEMP; the platform's fallback for it is below LOCALAPPDATA.
const std::pair<const char*, Directory> kDirectoryVariables[] = {
    {"TEMP", &IsolatedEnv::TempDir},
    {"TMP", &IsolatedEnv::TempDir},
    {"LOCALAPPDATA", &IsolatedEnv::CacheHome},
    {"USERPROFILE", &IsolatedEnv::Home}};
// The key the registry is below now; empty for the real hives. The variable hands it to the
// test's helper programs (UseParentTestRegistry).
std::string registryRoot;
const char kRegistryRootVariable[] = "TERN_TEST_REGISTRY_ROOT";
#else
const std::pair<const char*, Directory> kDirectoryVariables[] = {
    {"XDG_CONFIG_HOME", &IsolatedEnv::ConfigHome},
    {"XDG_RUNTIME_DIR", &IsolatedEnv::RuntimeDir},
    {"XDG_CACHE_HOME", &IsolatedEnv::CacheHome},
    {"TMPDIR", &IsolatedEnv::TempDir},
    {"HOME", &IsolatedEnv::Home}};
#endif
// Every proxy setting libcurl reads points at a closed local port, so that no test depends on the
// developer's network settings and none reaches a real host: a test that wants a server names
// its own (ProxyEnvironment).
const char* const kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                       "all_proxy",  "ALL_PROXY",  "ftp_proxy",   "FTP_PROXY"};
const char* const kProxyExclusions[] = {"no_proxy", "NO_PROXY"};
const char kClosedPort[] = "http://127.0.0.1:1";

// The temporary directory the test process was started with, before any IsolatedEnv moved it
// into its own tree.
const fs::path& BaseTempDir() {
    static const fs::path base = fs::temp_directory_path();
    return base;
}

}  // namespace

void UseParentTestRegistry() {
#ifdef _WIN32
    if (const char* root = std::getenv(kRegistryRootVariable)) {
        platform::testing::PlaceRegistryBelow(root);
    }
#endif
}

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    // Also the system's copy, which GetTempPath and libcurl read; an empty value removes it.
    _putenv_s(name.c_str(), value.value_or("").c_str());
#else
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
#endif
}

IsolatedEnv::IsolatedEnv() {
    std::random_device random;
    do {
        root_ = (BaseTempDir() / ("tern-test-" + std::to_string(random()))).string();
    } while (!fs::create_directory(root_));
    for (const char* sub : {"config", "runtime", "cache", "tmp", "home"}) {
        fs::create_directories(Below(sub));
        fs::permissions(Below(sub), fs::perms::owner_all);
    }
    std::vector<std::string> names;
    for (const auto& [name, directory] : kDirectoryVariables) names.push_back(name);
    names.insert(names.end(), std::begin(kProxyVariables), std::end(kProxyVariables));
    names.insert(names.end(), std::begin(kProxyExclusions), std::end(kProxyExclusions));
    for (const std::string& name : names) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    for (const char* name : kProxyVariables) SetVariable(name, kClosedPort);
    for (const char* name : kProxyExclusions) SetVariable(name, std::nullopt);
    for (const auto& [name, directory] : kDirectoryVariables)
        SetVariable(name, (this->*directory)());
#ifdef _WIN32
    savedRegistryRoot_ =
        std::exchange(registryRoot, "Software\\TernTests\\" + fs::path(root_).filename().string());
    platform::testing::PlaceRegistryBelow(registryRoot);
    SetVariable(kRegistryRootVariable, registryRoot);
#endif
}

IsolatedEnv::~IsolatedEnv() {
    for (const auto& [name, value] : saved_) SetVariable(name, value);
#ifdef _WIN32
    RegDeleteTreeA(HKEY_CURRENT_USER, registryRoot.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\TernTests");  // unless other tests still use it
    registryRoot = savedRegistryRoot_;
    platform::testing::PlaceRegistryBelow(registryRoot);
    SetVariable(kRegistryRootVariable, registryRoot);
#endif
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string LongDirectory(const std::string& base, size_t length) {
    constexpr size_t kComponent = 200;
    std::string path = base;
    while (path.size() < length) {
        const size_t room = length - path.size() - 1;
        // A last component of at least one character: never a trailing separator.
        const size_t next = room > kComponent && room - kComponent < 2 ? kComponent - 2
                                                                       : std::min(room, kComponent);
        path += platform::kPathSeparator + std::string(next, 'd');
    }
    fs::create_directories(path);
    return path;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

}  // namespace tern_test
