// Test isolation: every test works in directories of its own, so that tests run side by side.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace tern_test {

// Creates a fresh directory tree and points the variables that name the user's directories into
// it (Linux: XDG_CONFIG_HOME, XDG_RUNTIME_DIR, XDG_CACHE_HOME, TMPDIR and HOME; Windows: TEMP,
// TMP, LOCALAPPDATA and USERPROFILE), and every proxy variable at a closed local port; on Windows
// both registry hives move below a key of their own. The destructor restores all of it and
// removes the tree and the key. Environment variables are process wide, so only one of these
// should be alive at a time (the test main holds one for the whole process, fixtures replace it
// per test).
class IsolatedEnv {
public:
    IsolatedEnv();
    ~IsolatedEnv();
    IsolatedEnv(const IsolatedEnv&) = delete;
    IsolatedEnv& operator=(const IsolatedEnv&) = delete;

    const std::string& Root() const { return root_; }
    std::string ConfigHome() const { return Below("config"); }
    std::string RuntimeDir() const { return Below("runtime"); }
    std::string CacheHome() const { return Below("cache"); }
    std::string Home() const { return Below("home"); }
    std::string TempDir() const { return Below("tmp") + platform::kPathSeparator; }

private:
    std::string Below(const char* name) const { return root_ + platform::kPathSeparator + name; }

    std::string root_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    std::string savedRegistryRoot_;
};

// Fixture giving each test its own IsolatedEnv.
class IsolatedTest : public ::testing::Test {
protected:
    IsolatedEnv env_;
};

// For a program a test started: the registry of the test's IsolatedEnv. On Linux the registry
// follows the environment the program inherits; Windows's is handed over in a variable.
void UseParentTestRegistry();

// Sets the environment variable `name` of this process (and of the programs it starts), or
// removes it for nullopt.
void SetVariable(const std::string& name, const std::optional<std::string>& value);

// A directory path below `base` of `length` characters in all, made of components short enough
// for any file system; the directories are created.
std::string LongDirectory(const std::string& base, size_t length);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace tern_test
