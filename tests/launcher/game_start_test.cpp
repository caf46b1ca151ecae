#include "launcher/game_start.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "platform/process.h"
#include "platform/registry/registry_values.h"
#include "tests/launcher/fixture_record.h"
#include "tests/support/isolated_env.h"
#include "updatelib/base/file_functions.h"

namespace {

// The build copies fixture_game beside this test under this name (see CMakeLists.txt).
const char* const kInstalledGame = "skyreach_fixture.exe";

class GameStartTest : public tern_test::IsolatedTest {
protected:
    GameStartTest() : record_(env_.Root() + "/record") {
        launcher::Settings() = launcher::LaunchSettings();
        setenv("TERN_FIXTURE_RECORD", record_.c_str(), 1);
    }
    ~GameStartTest() override { unsetenv("TERN_FIXTURE_RECORD"); }

    // The game is this process's only child.
    static int WaitForGame() {
        int status = 0;
        if (waitpid(-1, &status, 0) < 0) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::optional<std::string> UserValue(const std::string& name) {
        return platform::ReadRegistryText(platform::Hive::CurrentUser, launcher::GameKeyPath(),
                                          name, 4096);
    }

    const std::string record_;
};

TEST_F(GameStartTest, GameRunsBesideTheLauncherAndTheChoiceIsRecordedWhenAsked) {
    launcher::Settings().executableName = kInstalledGame;
    launcher::Settings().startArguments = " -x \"two words\" -language=english";
    launcher::Settings().writeRegistry = true;

    ASSERT_GT(launcher::LaunchGame(), platform::kOpenSucceededAbove);
    ASSERT_EQ(WaitForGame(), 0);

    const std::string directory = Tern::GetExecutableDirectory();
    const auto starts = tern_test::ParseFixtureRecords(tern_test::ReadFileBytes(record_));
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].workingDirectory, directory);
    EXPECT_EQ(starts[0].argv, (std::vector<std::string>{directory + "/" + kInstalledGame, "-x",
                                                        "two words", "-language=english"}));
    EXPECT_EQ(UserValue("ExecutableName"), "bin\\skyreach_fixture.exe");
    EXPECT_EQ(UserValue("StartArguments"), " -x \"two words\" -language=english");
}

TEST_F(GameStartTest, NothingIsRecordedWithoutTheOption) {
    launcher::Settings().executableName = kInstalledGame;
    ASSERT_GT(launcher::LaunchGame(), platform::kOpenSucceededAbove);
    ASSERT_EQ(WaitForGame(), 0);
    EXPECT_EQ(UserValue("ExecutableName"), std::nullopt);
    EXPECT_EQ(UserValue("StartArguments"), std::nullopt);
}

TEST_F(GameStartTest, FailedStartRecordsNothingAndExplainsItself) {
    launcher::Settings().executableName = "skyreach_d3d11.exe";
    launcher::Settings().writeRegistry = true;

    const long result = launcher::LaunchGame();
    EXPECT_EQ(result, platform::kOpenFileNotFound);
    EXPECT_EQ(UserValue("ExecutableName"), std::nullopt);
    EXPECT_EQ(UserValue("StartArguments"), std::nullopt);

    tern_test::WriteFileBytes(Tern::TextFilePath(env_.Root(), "us"),
                              "IDS_EXEC_COMMAND_FAILED = Could not start\n"
                              "IDS_EXEC_NOT_FOUND = Not found.\n");
    ASSERT_TRUE(launcher::LoadLocalizedTextsFrom(env_.Root()));
    EXPECT_EQ(launcher::GameStartFailureMessage(result),
              "Could not start skyreach_d3d11.exe (error 2)\nNot found.");
}

}  // namespace
