#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "platform/debug_output.h"
#include "platform/test_seams.h"
#include "tests/support/isolated_env.h"

namespace {

using tern_test::ReadFileBytes;
using tern_test::WriteFileBytes;

mode_t Permissions(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// A directory at `path` that belongs to somebody else: as root a directory handed to "nobody",
// otherwise a link to the root-owned "/".
void MakeForeignDirectory(const std::string& path) {
    if (getuid() == 0) {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    } else {
        ASSERT_EQ(symlink("/", path.c_str()), 0);
    }
}

class FilesTest : public tern_test::IsolatedTest {};

TEST_F(FilesTest, TempDirectoryPrefersTmpdirAndAlwaysEndsWithSlash) {
    setenv("TMPDIR", (env_.Root() + "/chosen").c_str(), 1);
    EXPECT_EQ(platform::TempDirectory(), env_.Root() + "/chosen/");
    setenv("TMPDIR", env_.TempDir().c_str(), 1);
    EXPECT_EQ(platform::TempDirectory(), env_.TempDir());
}

TEST_F(FilesTest, TempDirectoryFallsBackToAPrivateCacheDirectory) {
    unsetenv("TMPDIR");
    const std::string expected = env_.CacheHome() + "/tern/tmp/";
    EXPECT_EQ(platform::TempDirectory(), expected);
    EXPECT_EQ(Permissions(expected), 0700u);

    unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(platform::TempDirectory(), env_.Root() + "/home/.cache/tern/tmp/");
    setenv("XDG_CACHE_HOME", "relative/cache", 1);  // not absolute: ignored
    EXPECT_EQ(platform::TempDirectory(), env_.Root() + "/home/.cache/tern/tmp/");
}

TEST_F(FilesTest, TempDirectoryRefusesWhatTheUserDoesNotOwn) {
    unsetenv("TMPDIR");
    ASSERT_EQ(mkdir((env_.CacheHome() + "/tern").c_str(), 0700), 0);
    MakeForeignDirectory(env_.CacheHome() + "/tern/tmp");
    EXPECT_EQ(platform::TempDirectory(), "");

    setenv("XDG_CACHE_HOME", (env_.Root() + "/other").c_str(), 1);
    WriteFileBytes(env_.Root() + "/other/tern/tmp", "a file, not a directory");
    EXPECT_EQ(platform::TempDirectory(), "");
}

TEST_F(FilesTest, EnsureUserDirectoryCreatesParentsAndChecksAccess) {
    const std::string nested = env_.Root() + "/a/b/c";
    EXPECT_TRUE(platform::EnsureUserDirectory(nested, true));
    EXPECT_EQ(Permissions(nested), 0700u);
    EXPECT_EQ(Permissions(env_.Root() + "/a"), 0700u);

    ASSERT_EQ(chmod(nested.c_str(), 0750), 0);
    EXPECT_FALSE(platform::EnsureUserDirectory(nested, true));
    EXPECT_TRUE(platform::EnsureUserDirectory(nested, false));

    const std::string foreign = env_.Root() + "/foreign";
    MakeForeignDirectory(foreign);
    EXPECT_FALSE(platform::EnsureUserDirectory(foreign, false));
}

TEST_F(FilesTest, RuntimeDirectoryComesFromTheEnvironmentOrAPrivateFallback) {
    setenv("XDG_RUNTIME_DIR", (env_.RuntimeDir() + "/").c_str(), 1);
    EXPECT_EQ(platform::RuntimeDirectory(), env_.RuntimeDir());

    unsetenv("XDG_RUNTIME_DIR");
    const std::string fallback = "/tmp/tern-" + std::to_string(getuid());
    EXPECT_EQ(platform::RuntimeDirectory(), fallback);
    EXPECT_EQ(Permissions(fallback), 0700u);
}

TEST_F(FilesTest, UniqueTempFilesAreNewEmptyAndPrivate) {
    const std::string directory = env_.TempDir();
    std::set<std::string> paths;
    for (int i = 0; i < 50; ++i) {
        const std::string path = platform::CreateUniqueTempFile("vex", directory);
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(path.rfind(directory + "vex", 0), 0u) << path;
        EXPECT_EQ(path.substr(path.size() - 4), ".tmp");
        EXPECT_EQ(Permissions(path), 0600u);
        EXPECT_EQ(ReadFileBytes(path), "");
        paths.insert(path);
    }
    EXPECT_EQ(paths.size(), 50u);

    EXPECT_EQ(platform::CreateUniqueTempFile("vex", env_.Root() + "/missing/"), "");
}

// Restores the real figures however the test ends.
class DiskSpaceOverride {
public:
    explicit DiskSpaceOverride(uint64_t bytes) {
        platform::testing::OverrideAvailableDiskSpace(bytes);
    }
    ~DiskSpaceOverride() { platform::testing::OverrideAvailableDiskSpace(std::nullopt); }
    DiskSpaceOverride(const DiskSpaceOverride&) = delete;
    DiskSpaceOverride& operator=(const DiskSpaceOverride&) = delete;
};

TEST_F(FilesTest, AvailableDiskSpaceIsRealUnlessOverridden) {
    const std::optional<uint64_t> real = platform::AvailableDiskSpace(env_.TempDir());
    ASSERT_TRUE(real.has_value());
    EXPECT_GT(*real, 0u);
    EXPECT_FALSE(platform::AvailableDiskSpace(env_.Root() + "/missing").has_value());
    {
        const DiskSpaceOverride tight(1234);
        EXPECT_EQ(platform::AvailableDiskSpace(env_.TempDir()), 1234u);
        EXPECT_EQ(platform::AvailableDiskSpace(env_.Root() + "/missing"), 1234u);
    }
    EXPECT_FALSE(platform::AvailableDiskSpace(env_.Root() + "/missing").has_value());
}

TEST_F(FilesTest, ExecutableDirectoryIsWhereTheBuildPutTheProgram) {
    EXPECT_EQ(platform::ExecutableDirectory(), TERN_TEST_BINARY_DIR);
}

class DocumentsDirectoryTest : public tern_test::IsolatedTest {
protected:
    std::string Home() const { return env_.Root() + "/home"; }
    void WriteUserDirs(const std::string& text) {
        WriteFileBytes(env_.ConfigHome() + "/user-dirs.dirs", text);
    }
};

TEST_F(DocumentsDirectoryTest, DefaultsToDocumentsInHome) {
    EXPECT_EQ(platform::DocumentsDirectory(), Home() + "/Documents");
    WriteUserDirs("XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n");
    EXPECT_EQ(platform::DocumentsDirectory(), Home() + "/Documents");
}

TEST_F(DocumentsDirectoryTest, ReadsTheUserDirsFileLikeAShell) {
    WriteUserDirs(
        "# This file is written by xdg-user-dirs-update\n"
        "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
        "  XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Papers\\\"/\"\n");
    EXPECT_EQ(platform::DocumentsDirectory(), Home() + "/My \"Papers\"");

    WriteUserDirs(
        "XDG_DOCUMENTS_DIR=\"$HOME/First\"\n"
        "#XDG_DOCUMENTS_DIR=\"$HOME/Commented\"\n"
        "XDG_DOCUMENTS_DIR=\"/srv/papers\"\n");
    EXPECT_EQ(platform::DocumentsDirectory(), "/srv/papers");

    WriteUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/\"\n");  // disabled: the home directory itself
    EXPECT_EQ(platform::DocumentsDirectory(), Home());
}

TEST_F(DocumentsDirectoryTest, IgnoresValuesThatAreNeitherBelowHomeNorAbsolute) {
    WriteUserDirs("XDG_DOCUMENTS_DIR=\"Documents\"\nXDG_DOCUMENTS_DIR=\"$HOMEWORK/x\"\n");
    EXPECT_EQ(platform::DocumentsDirectory(), Home() + "/Documents");
}

class DebugOutputTest : public tern_test::IsolatedTest {};

TEST_F(DebugOutputTest, WritesTheTextUnchangedToStandardError) {
    const std::string capture = env_.Root() + "/stderr";
    const int saved = dup(STDERR_FILENO);
    const int file = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    ASSERT_GE(dup2(file, STDERR_FILENO), 0);
    close(file);

    const std::string text("line one\nno newline \0 after a NUL", 33);
    platform::WriteDebugOutput(text);
    platform::WriteDebugOutput(std::string(100000, 'x'));

    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_EQ(ReadFileBytes(capture), text + std::string(100000, 'x'));
}

}  // namespace
