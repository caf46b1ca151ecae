// The UpgradeLauncher program, copied with its texts and the fixture game (under the game's names)
// into a directory of its own, against a local update-information server. It runs with
// -write_registry, so that the user's hive tells what it started; one that does not end is killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "launcher/launcher_config.h"
#include "platform/registry/registry_values.h"
#include "tests/support/child_process.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_env.h"

namespace {

namespace fs = std::filesystem;
using platform::Hive;

const std::string kGameKey = launcher::GameKeyPath();
const char* const kInfoPath = "/MatchMakingConfig.aspx";
// An answer that announces no update and is too short to show the window.
const char* const kNoUpdateAnswer = "<RESPONSE></RESPONSE>";

class LauncherBinary : public tern_test::IsolatedTest {
protected:
    LauncherBinary() : server_(env_.Root() + "/server"), proxy_(server_) {
        fs::create_directories(app_ + "/Resources/us");
        fs::copy_file(TERN_LAUNCHER_PROGRAM, launcher_[0]);
        fs::copy_file(TERN_WINDOW_LIBRARY, app_ + "/libUpgradeLauncherWindow.so");
        fs::copy_file(TERN_LAUNCHER_TEXTS, app_ + "/Resources/us/GameUpdate.us");
        fs::copy_file(TERN_FIXTURE_GAME, app_ + "/" TERN_GAME_BASE ".exe");
        fs::copy_file(TERN_FIXTURE_GAME, app_ + "/" TERN_GAME_BASE "_d3d11.exe");
        server_.Serve(kInfoPath, kNoUpdateAnswer);
        platform::WriteRegistryString(Hive::LocalMachine, kGameKey + "\\GameUpdate", "info",
                                      "game-eu");
        platform::WriteRegistryString(Hive::LocalMachine, kGameKey, "Language", "english");
    }

    // The game executable the launcher started, as it records it; forgotten for the next start.
    static std::optional<std::string> TakeStartedGame() {
        const auto started =
            platform::ReadRegistryText(Hive::CurrentUser, kGameKey, "ExecutableName", 4096);
        platform::RegistryKey key;  // one that does not open deletes nothing
        platform::RegistryKey::Open(Hive::CurrentUser, kGameKey, &key);
        key.DeleteValue("ExecutableName");
        return started;
    }

    const std::string app_ = env_.Root() + "/app";
    const std::vector<std::string> launcher_{app_ + "/UpgradeLauncher", "-write_registry"};
    // No display but the toolkit's own; no hardware probe along the search path: the plain
    // executable names.
    const tern_test::ChildOptions options_{{{"QT_QPA_PLATFORM", "offscreen"},
                                            {"DISPLAY", ""},
                                            {"WAYLAND_DISPLAY", ""},
                                            {"LD_LIBRARY_PATH", ""}}};
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
    EXPECT_EQ(TakeStartedGame(), std::nullopt);

    server_.Serve(kInfoPath, kNoUpdateAnswer);
    EXPECT_EQ(tern_test::ChildProcess(launcher_, options_).Wait(), 0);
    EXPECT_EQ(TakeStartedGame(), "bin\\" TERN_GAME_BASE ".exe");
    ASSERT_EQ(server_.Requests().size(), 2u);
    EXPECT_NE(server_.Requests()[1].query.find("gid=game-eu"), std::string::npos);
}

// A long answer asks for the window, which shows or cannot (no display, no library): every run
// ends by itself, even a failed one (3), starting the game, with one line when windowless; one
// without texts of its language on those of "us". Without any texts it ends with that box.
TEST_F(LauncherBinary, EveryRunEndsWithOrWithoutAWindowOrItsTexts) {
    platform::WriteRegistryString(Hive::LocalMachine, kGameKey + "\\GameUpdate", "language", "de");
    tern_test::RouteOptions slow;
    slow.chunkBytes = 64;
    slow.intervalMs = 20;
    const std::string noUpdate = "<RESPONSE>" + std::string(200, ' ') + "</RESPONSE>";
    const std::string failed = "<ANSWER>" + std::string(200, ' ') + "</ANSWER>";
    const std::tuple<std::map<std::string, std::string>, std::string, const char*> cases[] = {
        {{{"QT_QPA_PLATFORM", "offscreen"}}, noUpdate, "de/GameUpdate.de; using the texts of us."},
        {{{"DISPLAY", ":9997"}}, failed, "No display can show"},
        {{{"QT_QPA_PLATFORM_PLUGIN_PATH", "/no"}, {"QT_PLUGIN_PATH", "/no"}}, failed, "No display"},
        {{{"QT_QPA_PLATFORM", "offscreen"}}, failed, "window library cannot be used"},
    };
    for (const auto& [environment, answer, diagnostic] : cases) {
        if (&answer == &std::get<1>(cases[3])) fs::remove(app_ + "/libUpgradeLauncherWindow.so");
        server_.Serve(kInfoPath, answer, slow);
        tern_test::ChildOptions options = options_;
        options.environment["QT_QPA_PLATFORM"] = "";
        for (const auto& [name, value] : environment) options.environment[name] = value;
        const std::string errorsPath = env_.Root() + "/errors.txt";
        options.standardError = open(errorsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(tern_test::ChildProcess(launcher_, options).Wait(), 0);
        close(options.standardError);
        const std::string errors = tern_test::ReadFileBytes(errorsPath);
        EXPECT_NE(errors.find(diagnostic), std::string::npos);
        EXPECT_EQ(errors.find("qt."), std::string::npos) << errors;
        EXPECT_EQ(TakeStartedGame(), "bin\\" TERN_GAME_BASE ".exe");
        EXPECT_TRUE(fs::is_empty(env_.TempDir()));
    }
    EXPECT_EQ(server_.Requests().size(), std::size(cases));

    fs::remove(app_ + "/Resources/us/GameUpdate.us");
    const std::string errors = tern_test::RunChild(launcher_, options_).standardError;
    EXPECT_NE(errors.find(app_ + "/Resources/us/GameUpdate.us.\n"), std::string::npos);
    EXPECT_NE(errors.find(": Cannot load resource files."), std::string::npos);
    EXPECT_EQ(TakeStartedGame(), std::nullopt);
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
    EXPECT_EQ(TakeStartedGame(), "bin\\" TERN_GAME_BASE "_d3d11.exe");
#endif
}

}  // namespace
