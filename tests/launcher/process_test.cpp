#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/isolated_env.h"

namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// Installs the fixture game in `directory` as `name` with `mode`.
std::string InstallGame(const std::string& directory, const std::string& name, fs::perms mode) {
    fs::create_directories(directory);
    fs::copy_file(TERN_FIXTURE_GAME, directory + "/" + name);
    fs::permissions(directory + "/" + name, mode);
    return directory + "/" + name;
}

using OpenProgram = tern_test::IsolatedTest;

TEST_F(OpenProgram, ProgramGetsItsArgumentsAndWorkingDirectoryAndNoStrayDescriptors) {
    const std::string directory = env_.Root() + "/game dir";
    const std::string game = InstallGame(directory, "skyreach.exe", fs::perms::owner_all);
    const std::string record = env_.Root() + "/record";
    setenv("TERN_FIXTURE_RECORD", record.c_str(), 1);
    setenv("TERN_FIXTURE_EXIT_CODE", "7", 1);
    const int inheritable = open("/dev/null", O_RDONLY);
    platform::Process started;
    const long result = platform::OpenProgram("skyreach.exe", R"( -a "b c" d\"e "" -language=us)",
                                              directory, &started);
    close(inheritable);
    unsetenv("TERN_FIXTURE_RECORD");
    unsetenv("TERN_FIXTURE_EXIT_CODE");
    ASSERT_TRUE(platform::OpenSucceeded(result)) << result;
    EXPECT_EQ(started.Wait(), 7);

    std::istringstream lines(tern_test::ReadFileBytes(record));
    Words written;
    for (std::string line; std::getline(lines, line);) written.push_back(line);
    EXPECT_EQ(written, (Words{fs::canonical(directory).string(), "", game, "-a", "b c", R"(d"e)",
                              "", "-language=us"}));
}

TEST_F(OpenProgram, FailuresKeepTheDesktopNumbers) {
    const std::string directory = env_.Root() + "/game dir";
    InstallGame(directory, "plain.exe", fs::perms::owner_read | fs::perms::owner_write);
    tern_test::WriteFileBytes(directory + "/text.exe", "not a program\n");
    fs::permissions(directory + "/text.exe", fs::perms::owner_all);
    // A program still open for writing cannot run, as a file locked by another program.
    const int writer = open(InstallGame(directory, "busy.exe", fs::perms::owner_all).c_str(),
                            O_WRONLY | O_CLOEXEC);
    const struct {
        const char* file;
        std::string directory;
        long result;
    } cases[] = {
        {"skyreach.exe", directory, platform::kOpenFileNotFound},
        {"skyreach.exe", directory + "/missing", platform::kOpenPathNotFound},
        {"bin/skyreach.exe", directory, platform::kOpenPathNotFound},
        {"plain.exe", directory, platform::kOpenAccessDenied},
        {"text.exe", directory, platform::kOpenBadFormat},
        {"busy.exe", directory, platform::kOpenSharingViolation},
    };
    for (const auto& expected : cases) {
        EXPECT_EQ(platform::OpenProgram(expected.file, "", expected.directory), expected.result)
            << expected.file;
    }
    close(writer);
}

}  // namespace
