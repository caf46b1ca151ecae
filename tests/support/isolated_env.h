// Test isolation: every test works in directories of its own, so that tests run side by side.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tern_test {

// Creates a fresh directory tree and points XDG_CONFIG_HOME, XDG_RUNTIME_DIR, XDG_CACHE_HOME,
// TMPDIR and HOME into it, and every proxy variable at a closed local port; the destructor
// restores the variables and removes the tree. Environment variables are process
// wide, so only one of these should be alive at a time (the test main holds one for the whole
// process, fixtures replace it per test).
class IsolatedEnv {
public:
    IsolatedEnv();
    ~IsolatedEnv();
    IsolatedEnv(const IsolatedEnv&) = delete;
    IsolatedEnv& operator=(const IsolatedEnv&) = delete;

    const std::string& Root() const { return root_; }
    std::string ConfigHome() const { return root_ + "/config"; }
    std::string RuntimeDir() const { return root_ + "/runtime"; }
    std::string CacheHome() const { return root_ + "/cache"; }
    std::string TempDir() const { return root_ + "/tmp/"; }  // with the trailing '/'

private:
    std::string root_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Fixture giving each test its own IsolatedEnv.
class IsolatedTest : public ::testing::Test {
protected:
    IsolatedEnv env_;
};

// A directory path below `base` of `length` characters in all, made of components short enough
// for any file system; the directories are created.
std::string LongDirectory(const std::string& base, size_t length);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace tern_test
