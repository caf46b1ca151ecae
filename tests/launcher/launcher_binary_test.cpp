// The UpgradeLauncher program, copied with its texts and the fixture game (under the game's names)
// into a directory of its own, against a local update-information server. It runs with
// -write_registry, so that the user's hive tells what it started; one that does not end is killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "platform/registry/registry_values.h"
#include "tests/support/child_process.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_env.h"

namespace {

namespace fs = std::filesystem;
using platform::Hive;

const std::string kGameKey = "Software\\Norland\\Skyreach";
const char* const kInfoPath = "/MatchMakingConfig.aspx";
// An answer that announces no update and is too short to show the window.
const char* const kNoUpdateAnswer = "<RESPONSE></RESPONSE>";

class LauncherBinary : public tern_test::IsolatedTest {
protected:
    LauncherBinary() : server_(env_.Root() + "/server"), proxy_(server_) {
        fs::create_directories(app_ + "/Resources/us");
        fs::copy_file(TERN_LAUNCHER_PROGRAM, launcher_[0]);
        fs::copy_file(TERN_LAUNCHER_TEXTS, app_ + "/Resources/us/GameUpdate.us");
        fs::copy_file(TERN_FIXTURE_GAME, app_ + "/skyreach.exe");
        fs::copy_file(TERN_FIXTURE_GAME, app_ + "/skyreach_d3d11.exe");
        server_.Serve(kInfoPath, kNoUpdateAnswer);
        platform::WriteRegistryString(Hive::LocalMachine, kGameKey + "\\GameUpdate", "info",
                                      "skyreach-eu");
        platform::WriteRegistryString(Hive::LocalMachine, kGameKey, "Language", "english");
    }

    // The game executable the launcher started, as it records it.
    static std::optional<std::string> StartedGame() {
        return platform::ReadRegistryText(Hive::CurrentUser, kGameKey, "ExecutableName", 4096);
    }

    const std::string app_ = env_.Root() + "/app";
    const std::vector<std::string> launcher_{app_ + "/UpgradeLauncher", "-write_registry"};
    // No hardware probe along the search path: the plain executable names.
    const tern_test::ChildOptions options_{
        {{"QT_QPA_PLATFORM", "offscreen"}, {"LD_LIBRARY_PATH", ""}}};
    tern_test::HttpTestServer server_;
    tern_test::ProxyEnvironment proxy_;
};

TEST_F(LauncherBinary, OneLauncherAtATimeAndAKilledOneLeavesNoLock) {
    // The first launcher waits for an answer that does not come.
    tern_test::RouteOptions stalled;
    stalled.stallAfter = 0;
    server_.Serve(kInfoPath, kNoUpdateAnswer, stalled);
    tern_test::ChildProcess first(launcher_, options_);
    for (int i = 0; i < 15000 && server_.Requests().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(server_.Requests().size(), 1u);

    EXPECT_EQ(tern_test::ChildProcess(launcher_, options_).Wait(), 0);
    EXPECT_EQ(server_.Requests().size(), 1u);
    first.Kill();
    EXPECT_EQ(first.Wait(), 128 + SIGKILL);
    EXPECT_EQ(StartedGame(), std::nullopt);

    server_.Serve(kInfoPath, kNoUpdateAnswer);
    EXPECT_EQ(tern_test::ChildProcess(launcher_, options_).Wait(), 0);
    EXPECT_EQ(StartedGame(), "bin\\skyreach.exe");
    ASSERT_EQ(server_.Requests().size(), 2u);
    EXPECT_NE(server_.Requests()[1].query.find("gid=skyreach-eu"), std::string::npos);
}

// An answer long enough to show the window, yet announcing no update: once the window was on
// screen the launcher must still end after starting the game.
TEST_F(LauncherBinary, AShownWindowStillEndsTheLauncher) {
    tern_test::RouteOptions slow;
    slow.chunkBytes = 64;
    slow.intervalMs = 20;
    server_.Serve(kInfoPath, "<RESPONSE>" + std::string(1000, ' ') + "</RESPONSE>", slow);
    EXPECT_EQ(tern_test::ChildProcess(launcher_, options_).Wait(), 0);
    EXPECT_EQ(StartedGame(), "bin\\skyreach.exe");
}

// Standard error on a pipe nobody reads (the player started the launcher from a tool that went
// away) must not end it at its first diagnostic line; the probe library shipped beside the
// launcher is found without any search path.
TEST_F(LauncherBinary, AClosedStandardErrorAndAProbeBesideTheLauncher) {
    fs::copy_file(TERN_PROBE_V11, app_ + "/libsysprobe.so");
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    close(pipeEnds[0]);
    tern_test::ChildOptions options = options_;
    options.standardError = pipeEnds[1];
    EXPECT_EQ(tern_test::ChildProcess(launcher_, options).Wait(), 0);
    close(pipeEnds[1]);
// A sanitizer's dlopen interceptor hides the launcher's RUNPATH (google/sanitizers#1219).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_EQ(StartedGame(), "bin\\skyreach_d3d11.exe");
#endif
}

}  // namespace
