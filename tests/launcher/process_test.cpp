#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/launcher/fixture_record.h"
#include "tests/support/isolated_env.h"

namespace {

using platform::SplitCommandLine;
using Words = std::vector<std::string>;

TEST(SplitCommandLine, BlanksAndTabsSeparateWords) {
    EXPECT_EQ(SplitCommandLine(""), Words{});
    EXPECT_EQ(SplitCommandLine(" \t  "), Words{});
    EXPECT_EQ(SplitCommandLine("  -a\t-b  c "), (Words{"-a", "-b", "c"}));
    EXPECT_EQ(SplitCommandLine(" -language=english"), Words{"-language=english"});
}

TEST(SplitCommandLine, QuotesGroupAndDisappear) {
    EXPECT_EQ(SplitCommandLine(R"("My Games" x)"), (Words{"My Games", "x"}));
    EXPECT_EQ(SplitCommandLine(R"(a"b c"d)"), Words{"ab cd"});
    EXPECT_EQ(SplitCommandLine(R"(a "" b)"), (Words{"a", "", "b"}));
    EXPECT_EQ(SplitCommandLine(R"("open end)"), Words{"open end"});
    // Inside a quoted part a doubled quote is one literal quote and the part goes on.
    EXPECT_EQ(SplitCommandLine(R"("say ""hi"" now" x)"), (Words{R"(say "hi" now)", "x"}));
}

TEST(SplitCommandLine, BackslashesMatterOnlyBeforeAQuote) {
    EXPECT_EQ(SplitCommandLine(R"(C:\Program Files\Skyreach\ x\\y)"),
              (Words{R"(C:\Program)", R"(Files\Skyreach\)", R"(x\\y)"}));
    EXPECT_EQ(SplitCommandLine(R"(a\"b)"), Words{R"(a"b)"});
    EXPECT_EQ(SplitCommandLine(R"(a\\"b c")"), Words{R"(a\b c)"});
    EXPECT_EQ(SplitCommandLine(R"(a\\\"b c)"), (Words{R"(a\"b)", "c"}));
    EXPECT_EQ(SplitCommandLine(R"("dir\\" next)"), (Words{R"(dir\)", "next"}));
    EXPECT_EQ(SplitCommandLine(R"(trailing\)"), Words{R"(trailing\)"});
}

class OpenProgramTest : public tern_test::IsolatedTest {
protected:
    OpenProgramTest() : directory_(env_.Root() + "/game dir"), record_(env_.Root() + "/record") {
        std::filesystem::create_directories(directory_);
        setenv("TERN_FIXTURE_RECORD", record_.c_str(), 1);
    }
    ~OpenProgramTest() override {
        unsetenv("TERN_FIXTURE_RECORD");
        unsetenv("TERN_FIXTURE_EXIT_CODE");
    }

    std::string InstallGame(const std::string& name, std::filesystem::perms mode) {
        const std::string path = directory_ + "/" + name;
        std::filesystem::copy_file(TERN_FIXTURE_GAME, path);
        std::filesystem::permissions(path, mode);
        return path;
    }

    std::vector<tern_test::FixtureStart> Starts() const {
        return tern_test::ParseFixtureRecords(tern_test::ReadFileBytes(record_));
    }

    const std::string directory_;
    const std::string record_;
};

TEST_F(OpenProgramTest, ProgramGetsItsArgumentsAndWorkingDirectoryAndNoStrayDescriptors) {
    const std::string game = InstallGame("skyreach.exe", std::filesystem::perms::owner_all);
    const int inheritable = open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 0);

    int pid = -1;
    const long result = platform::OpenProgram("skyreach.exe", R"( -a "b c" d\"e "" -language=us)",
                                              directory_, &pid);
    close(inheritable);
    ASSERT_GT(result, platform::kOpenSucceededAbove);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(platform::WaitForProcess(pid), 0);

    const auto starts = Starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].workingDirectory, std::filesystem::canonical(directory_).string());
    EXPECT_EQ(starts[0].argv, (Words{game, "-a", "b c", R"(d"e)", "", "-language=us"}));
    EXPECT_EQ(starts[0].openDescriptors, "");
}

TEST_F(OpenProgramTest, AbsoluteFileRunsInTheGivenDirectoryAndItsExitCodeIsReported) {
    setenv("TERN_FIXTURE_EXIT_CODE", "7", 1);
    int pid = -1;
    ASSERT_GT(platform::OpenProgram(TERN_FIXTURE_GAME, "", directory_, &pid),
              platform::kOpenSucceededAbove);
    EXPECT_EQ(platform::WaitForProcess(pid), 7);
    EXPECT_EQ(platform::WaitForProcess(pid), -1);  // already collected

    const auto starts = Starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].workingDirectory, std::filesystem::canonical(directory_).string());
    EXPECT_EQ(starts[0].argv, Words{TERN_FIXTURE_GAME});
}

TEST_F(OpenProgramTest, FailuresKeepTheDesktopNumbers) {
    int pid = -1;
    EXPECT_EQ(platform::OpenProgram("skyreach.exe", "", directory_, &pid),
              platform::kOpenFileNotFound);
    EXPECT_EQ(platform::OpenProgram("skyreach.exe", "", directory_ + "/missing", &pid),
              platform::kOpenPathNotFound);
    EXPECT_EQ(platform::OpenProgram("bin/skyreach.exe", "", directory_, &pid),
              platform::kOpenPathNotFound);

    InstallGame("plain.exe",
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(platform::OpenProgram("plain.exe", "", directory_, &pid),
              platform::kOpenAccessDenied);

    tern_test::WriteFileBytes(directory_ + "/text.exe", "not a program\n");
    std::filesystem::permissions(directory_ + "/text.exe", std::filesystem::perms::owner_all);
    EXPECT_EQ(platform::OpenProgram("text.exe", "", directory_, &pid), platform::kOpenBadFormat);

    // A program still open for writing cannot run, as a file locked by another program.
    const std::string busy = InstallGame("busy.exe", std::filesystem::perms::owner_all);
    const int writer = open(busy.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(platform::OpenProgram("busy.exe", "", directory_, &pid),
              platform::kOpenSharingViolation);
    close(writer);

    EXPECT_EQ(pid, -1);
    EXPECT_TRUE(Starts().empty());
}

}  // namespace
