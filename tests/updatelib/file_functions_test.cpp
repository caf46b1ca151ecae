#include "updatelib/base/file_functions.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "tests/support/isolated_env.h"

namespace {

using tern_test::FileExists;
using tern_test::ReadFileBytes;
using tern_test::WriteFileBytes;

class FileFunctionsTest : public tern_test::IsolatedTest {};

TEST_F(FileFunctionsTest, ExecutableDirectoryIsWhereTheBuildPutTheProgram) {
    EXPECT_EQ(Tern::GetExecutableDirectory(), TERN_TEST_BINARY_DIR);
}

TEST_F(FileFunctionsTest, TempFilesGoToTheTempDirectoryByDefault) {
    ASSERT_EQ(Tern::GetTempDirectory(), env_.TempDir());
    const std::string first = Tern::MakeTempFileName("vex");
    const std::string second = Tern::MakeTempFileName("vex");
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, second);
    for (const std::string& path : {first, second}) {
        EXPECT_EQ(path.rfind(env_.TempDir() + "vex", 0), 0u) << path;
        EXPECT_TRUE(FileExists(path));
        EXPECT_EQ(ReadFileBytes(path), "");
    }
}

TEST_F(FileFunctionsTest, DirectoryWithoutSlashGetsOne) {
    const std::string directory = env_.Root() + "/downloads";
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    const std::string path = Tern::MakeTempFileName("vex", directory);
    EXPECT_EQ(path.rfind(directory + "/vex", 0), 0u) << path;
    EXPECT_TRUE(FileExists(path));
}

TEST_F(FileFunctionsTest, FailureGivesAnEmptyName) {
    EXPECT_EQ(Tern::MakeTempFileName("vex", env_.Root() + "/missing"), "");

    unsetenv("TMPDIR");
    WriteFileBytes(env_.CacheHome() + "/tern/tmp", "a file where the directory belongs");
    EXPECT_EQ(Tern::GetTempDirectory(), "");
    EXPECT_EQ(Tern::MakeTempFileName("vex"), "");
}

}  // namespace
