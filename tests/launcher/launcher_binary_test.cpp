// The UpgradeLauncher program itself: a copy of it in a directory of its own, with its texts and
// the fixture game (under the game's executable names) beside it, the installation's registry
// values in this test's hive, and a local server standing for the update-information service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "launcher/launcher_config.h"
#include "platform/registry/registry_values.h"
#include "tests/launcher/fixture_record.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_env.h"

namespace {

using platform::Hive;

constexpr std::chrono::seconds kPatience(30);
const char* const kInfoPath = "/MatchMakingConfig.aspx";
// An answer that announces no update and is too short to show the window.
const char* const kNoUpdateAnswer = "<RESPONSE></RESPONSE>";

bool WaitUntil(const std::function<bool()>& condition) {
    const auto limit = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class LauncherBinary : public tern_test::IsolatedTest {
protected:
    LauncherBinary()
        : appDirectory_(env_.Root() + "/app"),
          recordPath_(env_.Root() + "/game_starts"),
          server_(env_.Root() + "/server"),
          proxy_(server_) {
        namespace fs = std::filesystem;
        fs::create_directories(appDirectory_ + "/Resources/us");
        fs::copy_file(TERN_LAUNCHER_PROGRAM, appDirectory_ + "/UpgradeLauncher");
        fs::copy_file(TERN_LAUNCHER_TEXTS, appDirectory_ + "/Resources/us/GameUpdate.us");
        server_.Serve(kInfoPath, kNoUpdateAnswer);
        EXPECT_EQ(platform::WriteRegistryString(Hive::LocalMachine, launcher::UpdateKeyPath(),
                                                "info", "skyreach-eu"),
                  0);
        EXPECT_EQ(platform::WriteRegistryString(Hive::LocalMachine, launcher::GameKeyPath(),
                                                "Language", "english"),
                  0);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("TERN_FIXTURE_RECORD", recordPath_.c_str(), 1);
        // No hardware probe: the plain executable names.
        unsetenv("LD_LIBRARY_PATH");
    }
    ~LauncherBinary() override { unsetenv("TERN_FIXTURE_RECORD"); }

    void InstallGame(const std::string& name) {
        std::filesystem::copy_file(TERN_FIXTURE_GAME, appDirectory_ + "/" + name);
    }

    // With `standardError`, the launcher's standard error is that descriptor.
    pid_t StartLauncher(const std::vector<std::string>& arguments, int standardError = -1) {
        std::vector<std::string> argv{appDirectory_ + "/UpgradeLauncher"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> pointers;
        for (std::string& argument : argv) pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (standardError >= 0) posix_spawn_file_actions_adddup2(&actions, standardError, 2);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // The launcher's exit code; nullopt (and the launcher killed) when it did not end in time.
    static std::optional<int> WaitForExit(pid_t pid) {
        int status = 0;
        const bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return WEXITSTATUS(status);
    }

    std::optional<int> RunLauncher(const std::vector<std::string>& arguments) {
        return WaitForExit(StartLauncher(arguments));
    }

    std::vector<tern_test::FixtureStart> GameStarts() const {
        return tern_test::ParseFixtureRecords(tern_test::ReadFileBytes(recordPath_));
    }

    // The one game start, after the launcher has ended (the game may still be writing).
    tern_test::FixtureStart TheGameStart() const {
        EXPECT_TRUE(WaitUntil([&] { return !GameStarts().empty(); }));
        const std::vector<tern_test::FixtureStart> starts = GameStarts();
        EXPECT_EQ(starts.size(), 1u);
        return starts.empty() ? tern_test::FixtureStart() : starts[0];
    }

    // The game's arguments after its program path.
    static std::vector<std::string> Arguments(const tern_test::FixtureStart& start) {
        return start.argv.empty()
                   ? std::vector<std::string>()
                   : std::vector<std::string>(start.argv.begin() + 1, start.argv.end());
    }

    size_t InfoRequests() const {
        size_t count = 0;
        for (const tern_test::RecordedRequest& request : server_.Requests()) {
            if (request.path == kInfoPath) ++count;
        }
        return count;
    }

    std::optional<std::string> UserGameValue(const std::string& name) const {
        return platform::ReadRegistryText(Hive::CurrentUser, launcher::GameKeyPath(), name, 4096);
    }

    const std::string appDirectory_;
    const std::string recordPath_;
    tern_test::HttpTestServer server_;
    tern_test::ProxyEnvironment proxy_;
};

TEST_F(LauncherBinary, NoArgumentsChecksForUpdatesThenStartsThePlainGame) {
    InstallGame("skyreach.exe");
    EXPECT_EQ(RunLauncher({}), 0);
    const tern_test::FixtureStart game = TheGameStart();
    ASSERT_FALSE(game.argv.empty());
    EXPECT_EQ(game.argv[0], appDirectory_ + "/skyreach.exe");
    EXPECT_EQ(Arguments(game), std::vector<std::string>{"-language=english"});
    EXPECT_EQ(game.workingDirectory, appDirectory_);
    ASSERT_EQ(InfoRequests(), 1u);
    EXPECT_NE(server_.Requests()[0].query.find("gid=skyreach-eu"), std::string::npos);
    EXPECT_FALSE(UserGameValue("ExecutableName"));
}

// An answer long enough to show the window, yet announcing no update: once the window was on
// screen the launcher must still end after starting the game.
TEST_F(LauncherBinary, AShownWindowStillEndsTheLauncher) {
    InstallGame("skyreach.exe");
    tern_test::RouteOptions slow;
    slow.chunkBytes = 64;
    slow.intervalMs = 20;
    server_.Serve(kInfoPath, "<RESPONSE>" + std::string(1000, ' ') + "</RESPONSE>", slow);
    EXPECT_EQ(RunLauncher({}), 0);
    EXPECT_EQ(Arguments(TheGameStart()), std::vector<std::string>{"-language=english"});
}

// Standard error on a pipe nobody reads (the player started the launcher from a tool that went
// away) must not end it at its first diagnostic line; the probe library shipped beside the
// launcher is found without any search path.
TEST_F(LauncherBinary, AClosedStandardErrorAndAProbeBesideTheLauncher) {
    InstallGame("skyreach_d3d11.exe");
    std::filesystem::copy_file(TERN_PROBE_V11, appDirectory_ + "/libsysprobe.so");
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    close(pipeEnds[0]);
    const pid_t launcher = StartLauncher({}, pipeEnds[1]);
    close(pipeEnds[1]);
    EXPECT_EQ(WaitForExit(launcher), 0);
    const tern_test::FixtureStart game = TheGameStart();
    ASSERT_FALSE(game.argv.empty());
    EXPECT_EQ(game.argv[0], appDirectory_ + "/skyreach_d3d11.exe");
}

TEST_F(LauncherBinary, BuildFlavoursPickTheExecutableAndOtherArgumentsAreForwarded) {
    const struct {
        std::vector<std::string> arguments;
        const char* executable;
        std::vector<std::string> gameArguments;
    } cases[] = {
        {{"-debug", "-foo"}, "skyreach_d.exe", {"-foo", "-language=english"}},
        {{"-release", "-debug"}, "skyreach_d.exe", {"-language=english"}},
        {{"-retail"}, "skyreach_rt.exe", {"-language=english"}},
        {{"-Debug"}, "skyreach.exe", {"-Debug", "-language=english"}},
        {{"two words"}, "skyreach.exe", {"two", "words", "-language=english"}},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.executable + std::string(" ") + expected.arguments[0]);
        std::filesystem::remove(recordPath_);
        std::filesystem::remove(appDirectory_ + "/" + expected.executable);
        InstallGame(expected.executable);
        EXPECT_EQ(RunLauncher(expected.arguments), 0);
        const tern_test::FixtureStart game = TheGameStart();
        ASSERT_FALSE(game.argv.empty());
        EXPECT_EQ(game.argv[0], appDirectory_ + "/" + expected.executable);
        EXPECT_EQ(Arguments(game), expected.gameArguments);
    }
}

TEST_F(LauncherBinary, NopatchAndOfflineStartTheGameWithoutAnUpdateCheck) {
    InstallGame("skyreach.exe");
    EXPECT_EQ(RunLauncher({"-offline"}), 0);
    EXPECT_EQ(Arguments(TheGameStart()),
              (std::vector<std::string>{"-offline", "-language=english"}));

    std::filesystem::remove(recordPath_);
    EXPECT_EQ(RunLauncher({"-nopatch", "-x"}), 0);
    EXPECT_EQ(Arguments(TheGameStart()), (std::vector<std::string>{"-x", "-language=english"}));
    EXPECT_EQ(InfoRequests(), 0u);
}

TEST_F(LauncherBinary, WriteRegistryRecordsWhatWasStarted) {
    InstallGame("skyreach.exe");
    EXPECT_EQ(RunLauncher({"-write_registry", "-z"}), 0);
    EXPECT_EQ(Arguments(TheGameStart()), (std::vector<std::string>{"-z", "-language=english"}));
    EXPECT_EQ(UserGameValue("ExecutableName"), "bin\\skyreach.exe");
    EXPECT_EQ(UserGameValue("StartArguments"), " -z -language=english");
}

TEST_F(LauncherBinary, OneLauncherAtATimeAndAKilledOneLeavesNoLock) {
    InstallGame("skyreach.exe");
    // The first launcher waits for an answer that does not come.
    tern_test::RouteOptions stalled;
    stalled.stallAfter = 0;
    server_.Serve(kInfoPath, kNoUpdateAnswer, stalled);
    const pid_t first = StartLauncher({});
    ASSERT_TRUE(WaitUntil([&] { return InfoRequests() == 1; }));

    EXPECT_EQ(RunLauncher({}), 0);
    EXPECT_EQ(InfoRequests(), 1u);

    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_EQ(WaitForExit(first), 128 + SIGKILL);
    EXPECT_TRUE(GameStarts().empty());

    server_.Serve(kInfoPath, kNoUpdateAnswer);
    EXPECT_EQ(RunLauncher({}), 0);
    EXPECT_EQ(Arguments(TheGameStart()), std::vector<std::string>{"-language=english"});
    EXPECT_EQ(InfoRequests(), 2u);
}

}  // namespace
